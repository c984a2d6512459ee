#include "engine/helper/message_pump.h"

#include <thread>

namespace sondrel {

MessagePump::MessagePump(std::shared_ptr<Notifier> notifier) : m_state(std::make_shared<State>(std::move(notifier))) {}

void MessagePump::post(std::u16string caption, std::u16string text, MessageIcon icon) {
    push(Item{false, std::move(caption), std::move(text), icon});
}

void MessagePump::postLibraryMissing() { push(Item{true, {}, {}, MessageIcon::None}); }

void MessagePump::push(Item item) {
    const std::scoped_lock guard(m_state->lock);
    m_state->items.push_back(std::move(item));
    if (!m_state->running) {
        m_state->running = true;
        std::thread(run, m_state).detach();
    }
}

void MessagePump::run(std::shared_ptr<State> state) {
    std::unique_lock lock(state->lock);
    while (!state->items.empty()) {
        Item item = std::move(state->items.front());
        state->items.pop_front();
        lock.unlock();
        if (item.libraryMissing) {
            state->notifier->showCaptureLibraryMissing();
        } else {
            state->notifier->showMessage(item.caption, item.text, item.icon);
        }
        lock.lock();
    }
    state->running = false;
}

}  // namespace sondrel
