#pragma once

#include <windows.h>

#include <string>
#include <thread>

// Waits on a second thread for a message box with the given caption, reads
// its text and presses `button` (IDOK, IDYES, IDNO ...). Tests that make the
// library show a message never hang: an unseen box just leaves caught() false.
class MessageBoxCatcher {
  public:
    MessageBoxCatcher(const char *caption, int button, DWORD timeout_ms = 10000);
    MessageBoxCatcher(const MessageBoxCatcher &) = delete;
    MessageBoxCatcher &operator=(const MessageBoxCatcher &) = delete;
    ~MessageBoxCatcher();

    // Waits until a box was handled or the time is up.
    bool caught();
    std::string text();

  private:
    void watch();

    std::string caption_;
    int button_;
    DWORD timeout_ms_;
    bool caught_ = false;
    std::string text_;
    std::thread thread_;
};
