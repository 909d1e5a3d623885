#pragma once
// The window's look: one calm, consistent style for the standard controls.
// The progress bars and picture controls paint themselves and are not skinned.

#include <QObject>

class QWidget;

class TsSkinManager : public QObject {
    Q_OBJECT
  public:
    explicit TsSkinManager(QWidget* owner);
    void Apply(QWidget* window);
};
