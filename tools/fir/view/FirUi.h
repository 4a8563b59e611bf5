// What the "Customization" tab and its pages share: message boxes, the page
// file dialogs, log lines and the box's code page.
//
// A box carries its caption ("Success", "error", "Error"). Under the offscreen
// platform the text goes to the log instead, so nothing waits for a click.
#pragma once

#include "FirFields.h"
#include "FirPageFiles.h"
#include "FirPlatform.h"

#include <QString>

#include <functional>

class QComboBox;
class QLineEdit;
class QPushButton;
class QWidget;

namespace firview {

void ShowMessage(QWidget* parent, const QString& caption, const QString& text);
inline void ShowError(QWidget* parent, const QString& text) { ShowMessage(parent, QStringLiteral("error"), text); }
inline void ShowSuccess(QWidget* parent, const QString& text) { ShowMessage(parent, QStringLiteral("Success"), text); }
// A core result: its message under "Success" or "error"; the detail goes to the log.
void ShowResult(QWidget* parent, const fir::FirResult& res);

// The page file dialogs (filter and default extension of the kind); an empty
// text when the user cancels.
QString AskOpenPath(QWidget* parent, fir::PageFile kind);
QString AskSavePath(QWidget* parent, fir::PageFile kind);
// Wires a page's load and save buttons: each asks for a path of `kind` and
// hands it on unless the user cancels.
void ConnectFileButtons(QWidget* page, QPushButton* load, QPushButton* save, fir::PageFile kind,
                        std::function<void(const QString&)> on_load, std::function<void(const QString&)> on_save);

// Controls with an object name: a list of the entries of `entries`, a text
// field, a button (captions in UTF-8).
QComboBox* MakeList(QWidget* parent, const char* name, fir::FirList entries);
QLineEdit* MakeEdit(QWidget* parent, const char* name);
QPushButton* MakeButton(QWidget* parent, const char* text, const char* name);

// The last text shown in a box (tests read it).
QString LastMessage();

// A log line of the tool (source "FirDlg").
void Log(int line, const char* text);

// Screen text of box bytes, and back (the box's code page).
QString FromBox(const std::string& bytes);

}  // namespace firview
