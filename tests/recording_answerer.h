#pragma once
// Answers a window's boxes without a screen (Form1's answerer): records each
// box and answers a Yes/No question with a chosen answer.

#include "shell/message_box.h"

#include <vector>

namespace velkin::testing {

class RecordingAnswerer {
public:
    explicit RecordingAnswerer(MessageAnswer yesNoAnswer = MessageAnswer::Yes) : yesNoAnswer_(yesNoAnswer) {}
    RecordingAnswerer(const RecordingAnswerer&) = delete;
    RecordingAnswerer& operator=(const RecordingAnswerer&) = delete;

    void setYesNoAnswer(MessageAnswer answer) { yesNoAnswer_ = answer; }
    // What the window is given; it must not outlive this recorder.
    MessageAnswerer answerer() {
        return [this](const MessageRequest& request) {
            boxes.push_back(request);
            return request.buttons == MessageButtons::YesNo ? yesNoAnswer_ : MessageAnswer::Ok;
        };
    }
    std::vector<MessageRequest> boxes;

private:
    MessageAnswer yesNoAnswer_;
};

}  // namespace velkin::testing
