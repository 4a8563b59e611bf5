// Small helpers every tool view uses.
#pragma once

#include <QString>

class QWidget;
class CSerialMonitorSerivce;

namespace corvane {

// The user error shown before a job starts: a message box captioned "error".
// Under the offscreen platform (tests, screenshots) the text goes to the log
// instead, so nothing waits for a click that never comes.
void ErrorBox(QWidget* parent, const QString& text);

// A note for the user: logged, and shown in an information box captioned
// `caption` when there is a display.
void InfoBox(QWidget* parent, const QString& caption, const QString& text);

// The host's serial service (null only outside the host, e.g. in a unit test
// that did not set one).
CSerialMonitorSerivce* SerialService();

// True when running without a real display (QT_QPA_PLATFORM=offscreen/minimal).
bool IsHeadless();

}  // namespace corvane
