// What the messages and the tooltip say: the same words on every desktop.
#include "desktop.h"

#include <cmath>

#include "time_text.h"

namespace watch {
namespace {

std::string clockOf(const Stamp& stamp) {
    return core::clockTime(stamp.local()).substr(0, 5); // 14:02
}

// The cause in a few words, for the tooltip.
std::string_view shortCause(Verdict cause) {
    switch (cause) {
    case Verdict::local:
        return "your network";
    case Verdict::dns:
        return "name service";
    case Verdict::provider:
        return "your provider";
    case Verdict::site:
        return "the site";
    case Verdict::cleared:
        return "back when diagnosed";
    case Verdict::unknown:
        break;
    }
    return "cause unknown";
}

// A span as a person says it: "40s", "25m", "1h 05m".
std::string roughSpan(std::chrono::seconds span) {
    const long long total = span.count();
    if (total < 60) {
        return std::to_string(total) + "s";
    }
    if (total < 3600) {
        return std::to_string(total / 60) + "m";
    }
    const long long minutes = total / 60 % 60;
    return std::to_string(total / 3600) + "h " + (minutes < 10 ? "0" : "") +
           std::to_string(minutes) + "m";
}

std::string milliseconds(double value) {
    return std::to_string(std::llround(value)) + " ms";
}

std::string percent(double share) {
    const long long whole = std::llround(share * 100);
    return share > 0 && whole == 0 ? "under 1%" : std::to_string(whole) + "%";
}

// "18% loss beyond your router", "round trips of 340 ms on your own network (usually 2 ms)"
std::string degradation(const Degradation& figures) {
    const std::string where = figures.local ? "on your own network" : "beyond your router";
    if (figures.loss > 0 && (figures.usual <= 0 || figures.median < 3 * figures.usual)) {
        return percent(figures.loss) + " loss " + where;
    }
    return "round trips of " + milliseconds(figures.median) + " " + where +
           (figures.usual > 0 ? " (usually " + milliseconds(figures.usual) + ")" : "");
}

} // namespace

std::string causeText(Verdict cause, const std::string& evidence) {
    const std::string because = evidence.empty() ? "" : ": " + evidence;
    switch (cause) {
    case Verdict::local:
        return "your own network" + because;
    case Verdict::dns:
        return "name service" + because;
    case Verdict::provider:
        return "your provider" + because;
    case Verdict::site:
        return "the checked site alone" + because;
    case Verdict::cleared:
        return "none found" + because;
    case Verdict::unknown:
        break;
    }
    return "";
}

std::string changeTitle(const Change& change) {
    switch (change.kind) {
    case Change::Kind::down:
        return "Internet connection lost";
    case Change::Kind::up:
        return "Internet connection back";
    case Change::Kind::degraded:
        return "Connection degraded";
    case Change::Kind::recovered:
        break;
    }
    return "Connection quality back to normal";
}

std::string changeText(const Change& change) {
    if (change.kind == Change::Kind::degraded && change.quality) {
        return "Connection degraded: " + degradation(*change.quality) + " since " +
               clockOf(change.since) + ".";
    }
    if (change.kind == Change::Kind::recovered) {
        return "Connection quality back to normal after " + roughSpan(change.span) + ".";
    }
    if (change.kind == Change::Kind::down) {
        const std::string cause = change.cause ? causeText(*change.cause, change.evidence) : "";
        return "No connection since " + clockOf(change.since) +
               (cause.empty() ? "." : ". Cause: " + cause + ".");
    }
    // What the watcher saw: one failed check has no length of its own, several at least their span.
    if (change.checks == 1) {
        return "Back online: one failed check, at " + clockOf(change.since) + ".";
    }
    return "Back online after at least " + core::spanText(change.span) + " (" +
           core::count(change.checks, "failed check", "failed checks") + " since " +
           clockOf(change.since) + ").";
}

std::string stateText(const State& state, const Stamp& now) {
    const std::string program = "Connectivity monitor: ";
    switch (state.kind) {
    case State::Kind::logUnwritable:
        return program + state.problem;
    case State::Kind::offline:
        return program + "offline since " + clockOf(state.outage->since) +
               (state.outage->cause ? " (" + std::string(shortCause(*state.outage->cause)) + ")"
                                    : "");
    case State::Kind::online:
        break;
    }
    if (state.degraded) {
        return program + "online, degraded: " + degradation(*state.degraded) + " since " +
               core::clockTime(
                   Stamp{std::chrono::floor<std::chrono::seconds>(state.degraded->since),
                         now.offset}
                       .local())
                   .substr(0, 5);
    }
    std::string online = program + "online, ";
    if (state.quality && state.quality->received > 0) {
        online +=
            milliseconds(state.quality->median) + ", " + percent(state.quality->loss()) + " loss, ";
    }
    if (!state.lastFailure) {
        return online + "no failed check since watching began";
    }
    const long long ago = (now.utc - state.lastFailure->utc).count();
    const std::string when = ago < 60      ? "just now"
                             : ago < 3600  ? std::to_string(ago / 60) + " min ago"
                             : ago < 86400 ? std::to_string(ago / 3600) + " h ago"
                                           : std::to_string(ago / 86400) + " d ago";
    return online + "last failed check " + when;
}

} // namespace watch
