// The "Tessel" plug-in library; its entry MultiViewDll comes with the view.
