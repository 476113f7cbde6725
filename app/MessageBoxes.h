// The window's message boxes behind an interface, so tests can answer them.
#pragma once

#include <QString>

class QWidget;

namespace pellorin {

class MessageBoxes {
  public:
    virtual ~MessageBoxes() = default;
    // A box with the text, the caption and an OK button, no icon; returns when it is closed.
    virtual void Inform(QWidget* owner, const QString& text, const QString& caption) = 0;
    // A box with Yes and No, no icon; true only for Yes.
    virtual bool AskYesNo(QWidget* owner, const QString& text, const QString& caption) = 0;
};

// Modal boxes owned by the window.
class ModalMessageBoxes : public MessageBoxes {
  public:
    void Inform(QWidget* owner, const QString& text, const QString& caption) override;
    bool AskYesNo(QWidget* owner, const QString& text, const QString& caption) override;
};

}  // namespace pellorin
