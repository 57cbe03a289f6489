#pragma once
#include <QMessageBox>
#include <QString>
#include <functional>

// Every message box of the program goes through here, so tests can answer it.
// Returns the button pressed (a QMessageBox::StandardButton). Main thread only.
int ShowMessageBox(QWidget* parent, const QString& text, const QString& caption,
                   QMessageBox::Icon icon);

// While a hook is set it is called instead of showing a box, and its result is
// returned. An empty function restores the real boxes.
void SetMessageBoxHook(std::function<int(const QString& text, const QString& caption)> hook);
