// The watcher's loop on Linux: a poll on a pipe that signals and finished diagnoses write to,
// and messages sent to the desktop's notification service on the session bus.
#include <cerrno>
#include <csignal>
#include <cstring>

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

// org.freedesktop.Notifications on the session bus, as notify-send does it. Where there is no bus
// or no service on it, nothing is shown and the record says why.
class SessionBusDesktop final : public Desktop {
  public:
    std::string show(const Change& change, const std::string& title,
                     const std::string& text) override {
        sd_bus* bus = nullptr;
        if (const int opened = ::sd_bus_open_user(&bus); opened < 0) {
            return "not shown: no session bus (" + std::string(std::strerror(-opened)) + ")";
        }
        // A service that does not answer at once must not hold up the watching.
        ::sd_bus_set_method_call_timeout(bus, 2'000'000);
        sd_bus_error error{}; // SD_BUS_ERROR_NULL, without its C compound literal
        sd_bus_message* reply = nullptr;
        const bool down = change.kind == Change::Kind::down;
        const int called = ::sd_bus_call_method(
            bus, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
            "org.freedesktop.Notifications", "Notify", &error, &reply, "susssasa{sv}i",
            "Connectivity monitor", 0U, down ? "network-offline" : "network-transmit-receive",
            title.c_str(), text.c_str(), 0, 1, "urgency", "y", static_cast<std::uint8_t>(1), -1);
        std::string outcome = "shown";
        if (called < 0) {
            outcome = std::string("not shown: ") +
                      (error.message != nullptr ? error.message : std::strerror(-called));
        }
        ::sd_bus_error_free(&error);
        ::sd_bus_message_unref(reply);
        ::sd_bus_flush_close_unref(bus);
        return outcome;
    }

    void stateChanged(const State& /*state*/) override {} // no icon of ours on Linux
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
            ::poll(&watched, 1, 500);
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

std::unique_ptr<Loop> Loop::make(const fs::path& /*folder*/, const fs::path& /*record*/) {
    return std::make_unique<PollLoop>();
}

} // namespace watch::os
