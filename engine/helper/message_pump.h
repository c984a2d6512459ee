#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "base/notifier.h"

namespace sondrel {

// Messages go to the notifier one after another on a thread of their own:
// the notifier blocks until the user has dismissed a box, and the reader of
// the helper's pipe must never stop reading meanwhile, or the helper's
// capture would stall. The thread runs while messages wait and ends after
// the last.
class MessagePump {
public:
    explicit MessagePump(std::shared_ptr<Notifier> notifier);

    void post(std::u16string caption, std::u16string text, MessageIcon icon);
    void postLibraryMissing();

private:
    struct Item {
        bool libraryMissing;
        std::u16string caption;
        std::u16string text;
        MessageIcon icon;
    };
    struct State {
        explicit State(std::shared_ptr<Notifier> n) : notifier(std::move(n)) {}
        std::shared_ptr<Notifier> notifier;
        std::mutex lock;
        std::deque<Item> items;
        bool running = false;
    };

    void push(Item item);
    static void run(std::shared_ptr<State> state);

    std::shared_ptr<State> m_state;
};

}  // namespace sondrel
