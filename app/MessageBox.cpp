#include "app/MessageBox.h"

namespace {
std::function<int(const QString&, const QString&)> g_hook;
}

int ShowMessageBox(QWidget* parent, const QString& text, const QString& caption,
                   QMessageBox::Icon icon) {
  if (g_hook) return g_hook(text, caption);
  QMessageBox box(icon, caption, text, QMessageBox::Ok, parent);
  return box.exec();
}

void SetMessageBoxHook(std::function<int(const QString& text, const QString& caption)> hook) {
  g_hook = std::move(hook);
}
