// The plug-in entry of a tool.
//
// Every tool is a shared library in the program folder. The host opens each
// `*.so` there with dlopen(RTLD_NOW | RTLD_LOCAL) and looks up
//
//     extern "C" int MultiViewDll(void** slot);
//
// A library without that symbol is not a tool. The function writes the address
// of the tool view's QMetaObject into the slot and returns 0 (the host ignores
// the value). The host then creates the view with
//
//     meta->newInstance(Q_ARG(QWidget*, parent))
//
// so the view needs a constructor marked Q_INVOKABLE that takes the parent
// widget, and it sets its tab caption with setWindowTitle("...") in that
// constructor. The library stays loaded until the host exits.
//
// Usage, in one .cpp of the tool:
//
//     class CDialogUPG : public QWidget {
//         Q_OBJECT
//     public:
//         Q_INVOKABLE explicit CDialogUPG(QWidget* parent = nullptr);
//     };
//     CORVANE_TOOL_PLUGIN(CDialogUPG)
#pragma once

#include <QMetaObject>
#include <QWidget>

#include <type_traits>

namespace corvane {

// The symbol the host looks up, and its type.
inline constexpr const char* kMultiViewDllSymbol = "MultiViewDll";
using MultiViewDllFn = int (*)(void** slot);

}  // namespace corvane

#define CORVANE_TOOL_PLUGIN(ViewClass)                                                                                 \
    static_assert(std::is_base_of_v<QWidget, ViewClass>, "a tool view is a QWidget");                                  \
    static_assert(std::is_constructible_v<ViewClass, QWidget*>,                                                        \
                  "a tool view needs a Q_INVOKABLE constructor taking the parent QWidget*");                           \
    extern "C" __attribute__((visibility("default"), used)) int MultiViewDll(void** slot)                              \
    {                                                                                                                  \
        if (slot)                                                                                                      \
            *slot = const_cast<QMetaObject*>(&ViewClass::staticMetaObject);                                            \
        return 0;                                                                                                      \
    }
