#include "platform/message_box.h"

namespace mk27x {

std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\r' || c == '\n') c = ' ';
    return text;
}

}  // namespace mk27x
