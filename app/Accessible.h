#pragma once
#include <QLabel>
#include <QString>

namespace app {

// Ties a control to the label in front of it, so assistive technology reads the
// label's caption as the control's name (Qt names a combo box by its current
// value otherwise). Returns the label for chaining into layouts.
inline QLabel* LabelControl(QLabel* label, QWidget* control) {
  label->setBuddy(control);
  QString name = label->text().trimmed();
  if (name.endsWith(':')) name.chop(1);
  control->setAccessibleName(name);
  return label;
}

}  // namespace app
