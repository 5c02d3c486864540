#pragma once
// Message boxes go through one function so that tests can answer them and headless runs
// never block on a modal box. Only the UI thread may call MessageBox; a worker asks the UI
// thread to show its box with PostMessageBox and does not wait.

#include <QString>
#include <functional>

class QObject;
class QWidget;

namespace vsp {

enum class MsgIcon { Error, Information, Warning, Question };
enum class MsgButtons { Ok, YesNo };
enum class MsgResult { Ok, Yes, No };

struct MessageBoxRequest {
    QWidget* Owner = nullptr; // nullptr: no owner window
    QString Text;
    QString Caption;
    MsgIcon Icon = MsgIcon::Error;
    MsgButtons Buttons = MsgButtons::Ok;
};

// No display (offscreen or minimal platform: a service, a test, a headless box): boxes
// then go to standard error and take their safe answer.
bool Headless();

// What shows a box and answers it in the user's stead; empty: the real box.
using MessageBoxHandler = std::function<MsgResult(const MessageBoxRequest&)>;

// Shows a modal box, through handler when there is one, and returns the button pressed.
MsgResult MessageBox(const MessageBoxRequest& request, const MessageBoxHandler& handler = {});

// From any thread: the box is shown later on the UI thread, without blocking anyone. With a
// context, a box still waiting when the context is destroyed is dropped with it.
void PostMessageBox(
    const MessageBoxRequest& request, MessageBoxHandler handler = {}, QObject* context = nullptr);

// The application's title: the program file's name up to its first ".", with every
// letter after the first in lower case ("vsp" gives "Vsp").
QString ApplicationTitle();

} // namespace vsp
