// The watcher's loop on Linux: a poll on a pipe that signals and finished diagnoses write to,
// and messages sent to the desktop's notification service on the session bus.
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include "../session.h"
#include "../watch_os.h"

namespace watch::os {
namespace {

// Written by the signal handler, so a plain global: a byte per signal, 0 for a wake.
int wakeWriter = -1;

void onStopSignal(int number) {
    const auto byte = static_cast<unsigned char>(number);
    const int saved = errno;
    static_cast<void>(::write(wakeWriter, &byte, 1));
    errno = saved;
}

// org.freedesktop.Notifications on the session bus, as notify-send does it, on a thread of its
// own, one message after another, driven by hand so that no step, connecting included, takes
// longer than its limit: sd-bus' own calls would wait 90 s for a bus that accepts and never
// answers. Where there is no bus, no service on it or no answer in time, nothing is shown and the
// record says why.
class SessionBusDesktop final : public Desktop {
  public:
    SessionBusDesktop() : sender_([this] { send(); }) {}
    ~SessionBusDesktop() override {
        {
            const std::scoped_lock lock(mutex_);
            stopping_ = true;
            waiting_.clear(); // at most the message being sent, within its limit, is waited for
        }
        changed_.notify_all();
        sender_.join();
    }
    SessionBusDesktop(const SessionBusDesktop&) = delete;
    SessionBusDesktop& operator=(const SessionBusDesktop&) = delete;

    void show(const Change& change, const std::string& title, const std::string& text,
              Told told) override {
        {
            const std::scoped_lock lock(mutex_);
            waiting_.push_back({change.kind == Change::Kind::down, title, text, std::move(told)});
        }
        changed_.notify_all();
    }

    void stateChanged(const State& /*state*/, const std::string& /*tooltip*/) override {
    } // no icon of ours on Linux

  private:
    struct Message {
        bool down;
        std::string title;
        std::string text;
        Told told;
    };

    void send() {
        for (;;) {
            Message message;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return stopping_ || !waiting_.empty(); });
                if (stopping_) {
                    return;
                }
                message = std::move(waiting_.front());
                waiting_.pop_front();
            }
            message.told(notify(message.down, message.title, message.text));
        }
    }

    static std::string notify(bool down, const std::string& title, const std::string& text) {
        sd_bus* bus = nullptr;
        if (const int opened = ::sd_bus_open_user(&bus); opened < 0) {
            return "not shown: no session bus (" + std::string(std::strerror(-opened)) + ")";
        }
        const auto deadline = std::chrono::steady_clock::now() + limit;
        sd_bus_message* call = nullptr;
        sd_bus_slot* slot = nullptr;
        Reply reply;
        int made = ::sd_bus_message_new_method_call(bus, &call, "org.freedesktop.Notifications",
                                                    "/org/freedesktop/Notifications",
                                                    "org.freedesktop.Notifications", "Notify");
        if (made >= 0) {
            made = ::sd_bus_message_append(call, "susssasa{sv}i", "Connectivity monitor", 0U,
                                           down ? "network-offline" : "network-transmit-receive",
                                           title.c_str(), text.c_str(), 0, 1, "urgency", "y",
                                           static_cast<std::uint8_t>(1), -1);
        }
        if (made >= 0) {
            made = ::sd_bus_call_async(bus, &slot, call, onReply, &reply,
                                       std::chrono::microseconds(limit).count());
        }
        while (made >= 0 && !reply.outcome && std::chrono::steady_clock::now() < deadline) {
            made = ::sd_bus_process(bus, nullptr);
            if (made == 0) {
                const auto left = std::chrono::ceil<std::chrono::microseconds>(
                    deadline - std::chrono::steady_clock::now());
                made = ::sd_bus_wait(
                    bus, static_cast<std::uint64_t>(std::max<long long>(left.count(), 0)));
            }
        }
        std::string outcome = reply.outcome.value_or(
            made < 0 ? "not shown: " + std::string(std::strerror(-made))
                     : "not shown: the notification service did not answer within " +
                           std::to_string(limit.count()) + " ms");
        ::sd_bus_slot_unref(slot);
        ::sd_bus_message_unref(call);
        ::sd_bus_close(bus); // never a flush, which could wait for a bus that does not read
        ::sd_bus_unref(bus);
        return outcome;
    }

    // The whole exchange, connecting included: a notification service answers in milliseconds.
    static constexpr std::chrono::milliseconds limit{1000};

    struct Reply {
        std::optional<std::string> outcome;
    };

    static int onReply(sd_bus_message* message, void* userdata, sd_bus_error* /*error*/) {
        auto* reply = static_cast<Reply*>(userdata);
        const sd_bus_error* failure = ::sd_bus_message_get_error(message);
        reply->outcome = failure == nullptr ? "shown"
                         : failure->message != nullptr
                             ? std::string("not shown: ") + failure->message
                             : std::string("not shown: ") + failure->name;
        return 0;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Message> waiting_;
    bool stopping_ = false;
    std::thread sender_;
};

class PollLoop final : public Loop {
  public:
    PollLoop() {
        // The pipe lives as long as the process: a diagnosis thread may still wake it at exit.
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
            throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
        }
        reader_ = ends[0];
        wakeWriter = ends[1];
        struct sigaction action {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
            ::sigaction(number, &action, nullptr);
        }
    }

    Desktop& desktop() override { return desktop_; }

    std::function<void()> waker() override {
        return [] {
            const unsigned char wake = 0;
            static_cast<void>(::write(wakeWriter, &wake, 1));
        };
    }

    std::string run(Session& session) override {
        for (;;) {
            pollfd watched{reader_, POLLIN, 0};
            ::poll(&watched, 1, static_cast<int>(servicePeriod.count()));
            unsigned char bytes[64];
            ssize_t got = 0;
            while ((got = ::read(reader_, bytes, sizeof bytes)) > 0) {
                for (ssize_t i = 0; i < got; ++i) {
                    if (bytes[i] != 0) {
                        return std::string("SIG") + ::sigabbrev_np(bytes[i]);
                    }
                }
            }
            session.service();
        }
    }

  private:
    int reader_ = -1;
    SessionBusDesktop desktop_;
};

} // namespace

std::unique_ptr<Loop> Loop::make(const fs::path& /*folder*/, std::string_view /*version*/) {
    return std::make_unique<PollLoop>();
}

} // namespace watch::os
