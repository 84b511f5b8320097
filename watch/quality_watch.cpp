// Quality windows: probes gathered by the time they were sent, figures made at the window's end,
// each segment judged against its own last day, and the stretches of degraded windows.
#include "quality_watch.h"

#include <algorithm>

namespace watch {
namespace {

using namespace std::chrono;
using core::quality::Figures;
using core::quality::Group;
using core::quality::keyOf;

constexpr auto day = hours{24};

Milliseconds stampTime(const core::record::Stamp& stamp) {
    return time_point_cast<milliseconds>(stamp.utc);
}

} // namespace

QualityWatch::QualityWatch(seconds window, Thresholds thresholds)
    : length_(window), thresholds_(thresholds) {}

void QualityWatch::begin(Milliseconds at) {
    start_ = at;
    // The next multiple of the window's length by the wall clock: windows line up on the hour.
    const auto length = duration_cast<milliseconds>(length_);
    end_ = Milliseconds{(at.time_since_epoch() / length + 1) * length};
}

void QualityWatch::remember(const std::vector<core::record::Line>& recent) {
    namespace event = core::record::event;
    const core::record::Line* told = nullptr;
    for (const core::record::Line& line : recent) {
        if (line.event == event::quality) {
            if (const auto window = core::quality::windowOf(line)) {
                for (const Group& group : window->groups) {
                    if (group.figures.received >= static_cast<long>(minimumHistory)) {
                        history_[keyOf(group.family, group.segment)].emplace_back(
                            stampTime(line.at), group.figures.median);
                    }
                }
            }
        }
        const std::string_view change = line.field("change");
        if (line.event == event::message && (change == "degraded" || change == "recovered")) {
            told = change == "degraded" ? &line : nullptr;
        }
    }
    for (auto& [key, medians] : history_) {
        while (!medians.empty() && medians.back().first - medians.front().first > day) {
            medians.pop_front();
        }
    }
    // A stretch told of and not yet over goes on: told once, however often the watcher starts.
    if (const auto since =
            told != nullptr ? core::record::parseStamp(told->field("since")) : std::nullopt) {
        const bool local = told->field("cause") == "local";
        Degradation figures;
        figures.local = local;
        figures.since = stampTime(*since);
        stretch_ = Stretch{figures.since, stampTime(told->at), 2, local ? 2 : 0, true, figures};
    }
}

void QualityWatch::add(const Sample& sample) {
    if (!start_) {
        begin(sample.sent);
    }
    if (sample.sent >= *start_) { // else sent before a cut: its window is closed
        samples_.push_back(sample);
    }
}

void QualityWatch::add(const NameLookup& lookup) {
    if (!start_) {
        begin(lookup.started);
    }
    if (lookup.started >= *start_) {
        lookups_.push_back(lookup);
    }
}

std::optional<QualityWatch::Closed> QualityWatch::due(Milliseconds now) {
    while (start_ && now >= end_ + grace) {
        const Milliseconds end = end_;
        auto closed = close(end);
        begin(end);
        if (closed) {
            return closed;
        }
    }
    return std::nullopt;
}

std::optional<QualityWatch::Closed> QualityWatch::cut(Milliseconds when, Milliseconds resume) {
    auto closed = start_ && when > *start_ ? close(std::min(when, end_)) : std::nullopt;
    samples_.clear(); // in flight across the cut: they would read as lost
    lookups_.clear();
    begin(resume);
    return closed;
}

std::optional<QualityWatch::Closed> QualityWatch::close(Milliseconds end) {
    const Milliseconds start = *start_;
    const auto inWindow = [&](Milliseconds at) { return at >= start && at < end; };
    core::quality::Window window;
    window.span = duration_cast<seconds>(end - start);
    std::stable_sort(samples_.begin(), samples_.end(),
                     [](const Sample& a, const Sample& b) { return a.sent < b.sent; });
    for (const std::string_view family : core::quality::families) {
        for (const Segment segment : {Segment::gateway, Segment::internet}) {
            long sent = 0;
            std::vector<double> roundTrips;
            for (const Sample& sample : samples_) {
                if (sample.family == family && sample.segment == segment && inWindow(sample.sent)) {
                    ++sent;
                    if (sample.roundTrip) {
                        roundTrips.push_back(*sample.roundTrip);
                    }
                }
            }
            if (sent > 0) {
                window.groups.push_back(
                    {family, segment, core::quality::figuresOf(sent, std::move(roundTrips))});
            }
        }
    }
    for (const NameLookup& lookup : lookups_) {
        if (inWindow(lookup.started) && !window.name && !window.nameUnresolved) {
            window.name = lookup.took;
            window.nameUnresolved = !lookup.took;
        }
    }
    std::erase_if(samples_, [&](const Sample& sample) { return sample.sent < end; });
    std::erase_if(lookups_, [&](const NameLookup& lookup) { return lookup.started < end; });
    if (window.groups.empty()) {
        return std::nullopt;
    }
    auto told = judge(window, start, end);
    last_.reset();
    lastLoss_ = std::pair{0.0, 0.0};
    lastEnd_ = end;
    for (const Group& group : window.groups) {
        if (!last_ && group.segment == Segment::internet) {
            last_ = group.figures;
        }
        if (group.figures.sent >= minimumProbes) {
            double& loss = group.segment == Segment::gateway ? lastLoss_->first : lastLoss_->second;
            loss = std::max(loss, group.figures.loss());
        }
    }
    return Closed{std::move(window), end, std::move(told)};
}

double QualityWatch::usual(const std::string& key) const {
    const auto found = history_.find(key);
    if (found == history_.end() || found->second.size() < minimumHistory) {
        return 0;
    }
    std::vector<double> medians;
    for (const auto& entry : found->second) {
        medians.push_back(entry.second);
    }
    std::nth_element(medians.begin(), medians.begin() + static_cast<long>(medians.size() / 2),
                     medians.end());
    return medians[medians.size() / 2];
}

std::optional<std::pair<bool, Degradation>>
QualityWatch::judge(core::quality::Window& window, Milliseconds start, Milliseconds end) {
    bool degraded = false;
    bool gateway = false;
    const Group* worst = nullptr;
    double worstScore = 0;
    std::vector<double> typicals; // each group's usual median, before this window joins it
    for (Group& group : window.groups) {
        const Figures& f = group.figures;
        const std::string key = keyOf(group.family, group.segment);
        const double typical = usual(key);
        typicals.push_back(typical);
        const bool lossy = f.sent >= minimumProbes && f.loss() >= thresholds_.loss;
        const bool slow = f.received >= static_cast<long>(minimumHistory) && typical > 0 &&
                          f.median >= thresholds_.slower * typical &&
                          f.median >= typical + thresholds_.margin;
        group.degraded = lossy || slow;
        degraded = degraded || group.degraded;
        gateway = gateway || (group.degraded && group.segment == Segment::gateway);
        if (f.received >= static_cast<long>(minimumHistory)) {
            auto& medians = history_[key];
            medians.emplace_back(end, f.median);
            while (!medians.empty() && end - medians.front().first > day) {
                medians.pop_front();
            }
        }
        // Loss first, then how much slower than usual: the figure a person acts on.
        const double score = lossy ? 1000 + f.loss() : slow ? f.median / typical : 0;
        if (group.degraded && score > worstScore) {
            worst = &group;
            worstScore = score;
        }
    }
    if (!degraded) {
        std::optional<std::pair<bool, Degradation>> recovered;
        if (stretch_ && stretch_->told) {
            Degradation figures = stretch_->figures;
            figures.span = duration_cast<seconds>(stretch_->end - stretch_->start);
            recovered = std::pair{false, figures};
        }
        stretch_.reset();
        return recovered;
    }
    if (!stretch_) {
        stretch_ = Stretch{start, end, 0, 0, false, {}};
    }
    Stretch& stretch = *stretch_;
    ++stretch.windows;
    stretch.gatewayWindows += gateway ? 1 : 0;
    stretch.end = end;
    // Where it lies: the person's own network where the gateway was degraded in half its windows.
    const bool local = 2 * stretch.gatewayWindows >= stretch.windows;
    const Segment wanted = local ? Segment::gateway : Segment::internet;
    for (const Group& group : window.groups) { // the worst of the segment it lies in, if any
        if (group.degraded && group.segment == wanted &&
            (worst->segment != wanted || group.figures.loss() > worst->figures.loss())) {
            worst = &group;
        }
    }
    const double worstUsual = typicals[static_cast<std::size_t>(worst - window.groups.data())];
    stretch.figures = {local,
                       stretch.start,
                       duration_cast<seconds>(end - stretch.start),
                       worst->figures.loss(),
                       worst->figures.median,
                       worstUsual};
    if (stretch.windows >= 2 && !stretch.told) {
        stretch.told = true;
        return std::pair{true, stretch.figures};
    }
    return std::nullopt;
}

std::optional<std::pair<double, double>> QualityWatch::lastLoss(Milliseconds now) const {
    // A window that ended more than two windows ago says nothing of now.
    return now - lastEnd_ <= 2 * length_ + grace ? lastLoss_ : std::nullopt;
}

std::optional<Degradation> QualityWatch::degraded() const {
    return stretch_ && stretch_->told ? std::optional(stretch_->figures) : std::nullopt;
}

} // namespace watch
