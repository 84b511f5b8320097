// A stand-in for the desktop's notification service: owns org.freedesktop.Notifications on the
// session bus of DBUS_SESSION_BUS_ADDRESS and prints each notification as "summary|body", a line
// each, as it comes. Runs until killed.
#include <cstdint>
#include <cstdio>

#include <systemd/sd-bus.h>

namespace {

std::uint32_t shown = 0;

int notify(sd_bus_message* message, void* /*unused*/, sd_bus_error* /*error*/) {
    const char* application = nullptr;
    std::uint32_t replaces = 0;
    const char* icon = nullptr;
    const char* summary = nullptr;
    const char* body = nullptr;
    const int read =
        sd_bus_message_read(message, "susss", &application, &replaces, &icon, &summary, &body);
    if (read < 0) {
        return read;
    }
    std::printf("%s|%s\n", summary, body);
    std::fflush(stdout);
    return sd_bus_reply_method_return(message, "u", ++shown);
}

const sd_bus_vtable service[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", notify, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

} // namespace

int main() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_user(&bus) < 0 ||
        sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/Notifications",
                                 "org.freedesktop.Notifications", service, nullptr) < 0 ||
        sd_bus_request_name(bus, "org.freedesktop.Notifications", 0) < 0) {
        std::fprintf(stderr, "notification_service: no session bus to serve on\n");
        return 1;
    }
    std::printf("serving\n");
    std::fflush(stdout);
    for (;;) {
        if (sd_bus_process(bus, nullptr) > 0) {
            continue;
        }
        sd_bus_wait(bus, UINT64_MAX);
    }
}
