#pragma once
#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <functional>

// Every message box of the program goes through here, so tests can answer it.
// Returns the button pressed (a QMessageBox::StandardButton). Main thread only.
int ShowMessageBox(QWidget* parent, const QString& text, const QString& caption,
                   QMessageBox::Icon icon);

// While a hook is set it is called instead of showing a box, and its result is
// returned. An empty function restores the real boxes.
void SetMessageBoxHook(std::function<int(const QString& text, const QString& caption)> hook);

// A question with buttons of its own texts, in order: the index of the button
// pressed, or -1 when the box was closed. Main thread only. Tests answer it
// with a choice hook; with only the message hook set it is answered as closed.
int ShowChoiceBox(QWidget* parent, const QString& text, const QString& caption,
                  const QStringList& buttons);
void SetChoiceBoxHook(std::function<int(const QString& text, const QStringList& buttons)> hook);
