#pragma once

#include <QString>

class QWidget;

namespace aster {

// Shows the window's modal messages. Injected so that tests can answer them.
class Messenger {
  public:
    virtual ~Messenger() = default;
    // Shows `prompt` and returns when the user has closed the message.
    virtual void showMessage(QWidget* owner, const QString& prompt) = 0;
};

// Modal message box owned by the window: OK button only, no icon, the title "Aster" and
// the prompt as plain text (file names are never read as markup).
class MessageBoxMessenger : public Messenger {
  public:
    void showMessage(QWidget* owner, const QString& prompt) override;
};

} // namespace aster
