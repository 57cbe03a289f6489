#include "app/MessageBox.h"

#include <QPushButton>
#include <vector>

namespace {
std::function<int(const QString&, const QString&)> g_hook;
std::function<int(const QString&, const QStringList&)> g_choiceHook;
}  // namespace

int ShowMessageBox(QWidget* parent, const QString& text, const QString& caption,
                   QMessageBox::Icon icon) {
  if (g_hook) return g_hook(text, caption);
  QMessageBox box(icon, caption, text, QMessageBox::Ok, parent);
  return box.exec();
}

void SetMessageBoxHook(std::function<int(const QString& text, const QString& caption)> hook) {
  g_hook = std::move(hook);
}

int ShowChoiceBox(QWidget* parent, const QString& text, const QString& caption,
                  const QStringList& buttons) {
  if (g_choiceHook) return g_choiceHook(text, buttons);
  if (g_hook) {
    g_hook(text, caption);
    return -1;
  }
  QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::NoButton, parent);
  std::vector<QAbstractButton*> added;
  for (int i = 0; i < buttons.size(); ++i)
    added.push_back(box.addButton(buttons[i], i + 1 == buttons.size() && buttons.size() > 1
                                                  ? QMessageBox::RejectRole
                                                  : QMessageBox::AcceptRole));
  box.exec();
  for (size_t i = 0; i < added.size(); ++i)
    if (box.clickedButton() == added[i]) return static_cast<int>(i);
  return -1;
}

void SetChoiceBoxHook(std::function<int(const QString& text, const QStringList& buttons)> hook) {
  g_choiceHook = std::move(hook);
}
