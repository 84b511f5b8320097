// The quality lines gathered: totals, spreads and hours per family and segment, the page's points,
// and the degraded stretches; memory grows with hours and stretches, not with windows.
#include "quality_figures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace report {
namespace {

using namespace std::chrono;
using core::quality::Group;

// The page's points by window reach back this far from the latest; beyond, an hour is a point.
constexpr auto pointsKept = days{63};
// One histogram step: 1%.
const double step = std::log(1.01);

std::size_t indexOf(std::string_view family, Segment segment) {
    return (family == "ipv6" ? 2 : 0) + (segment == Segment::internet ? 1 : 0);
}

} // namespace

void Spread::add(double value, long weight) {
    if (weight <= 0) {
        return;
    }
    bins_[static_cast<int>(std::lround(std::log(std::max(value, 0.0) + 0.01) / step))] += weight;
    total_ += weight;
}

double Spread::quantile(double share) const {
    const auto wanted = static_cast<long>(std::ceil(share * static_cast<double>(total_)));
    long seen = 0;
    for (const auto& [bin, weight] : bins_) {
        seen += weight;
        if (seen >= std::max(wanted, 1L)) {
            return std::max(std::exp(bin * step) - 0.01, 0.0);
        }
    }
    return 0;
}

std::string groupName(const GroupQuality& group) {
    std::string name(group.family);
    name.append(" ").append(core::quality::segmentWords[static_cast<std::size_t>(group.segment)]);
    return name;
}

std::string roundTripText(double milliseconds) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.1f", milliseconds);
    return text.data();
}

std::string lossText(double share) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.2f%%", 100 * share);
    return text.data();
}

std::vector<std::pair<int, double>> worstHours(const GroupQuality& group, std::size_t most) {
    std::vector<std::pair<int, double>> hours;
    for (int hour = 0; hour < 24; ++hour) {
        const long long received = group.hourReceived[static_cast<std::size_t>(hour)];
        // An hour of the day says something once it holds a hundredth of the probes answered.
        if (received > 0 && 100 * received >= group.received) {
            hours.emplace_back(hour, group.hourMedians[static_cast<std::size_t>(hour)] /
                                         static_cast<double>(received));
        }
    }
    std::stable_sort(hours.begin(), hours.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    hours.resize(std::min(hours.size(), most));
    return hours;
}

std::string stretchText(const DegradedStretch& stretch) {
    return std::string(stretch.local() ? "local: " : "provider: ") +
           (stretch.loss > 0 ? std::to_string(std::llround(100 * stretch.loss)) + "% loss"
                             : "round trips of " + roundTripText(stretch.median) + " ms");
}

QualityReader::QualityReader(Quality& quality, Period period) : quality_(quality), period_(period) {
    for (const std::string_view family : core::quality::families) {
        for (const Segment segment : {Segment::gateway, Segment::internet}) {
            GroupQuality& group = quality_.groups[indexOf(family, segment)];
            group.family = family;
            group.segment = segment;
        }
    }
}

void QualityReader::add(const core::record::Line& line) {
    const auto window = core::quality::windowOf(line);
    if (!window || window->span <= seconds{0}) {
        return;
    }
    const sys_seconds to = line.at.utc;
    const sys_seconds from = to - window->span;
    const auto local = [&](sys_seconds at) {
        return local_seconds{(at + line.at.offset).time_since_epoch()};
    };
    if (!period_.contains(floor<days>(local(from)))) {
        return;
    }
    ++quality_.windows;
    quality_.measured += window->span;
    quality_.longestWindow = std::max(quality_.longestWindow, window->span);
    if (window->name || window->nameUnresolved) {
        ++quality_.lookups;
        quality_.unresolved += window->nameUnresolved ? 1 : 0;
        if (window->name) {
            quality_.names.add(static_cast<double>(window->name->count()), 1);
        }
    }
    const auto hour =
        static_cast<std::size_t>(hh_mm_ss{local(from) - floor<days>(local(from))}.hours().count());
    bool degraded = false;
    bool gateway = false;
    const Group* worst = nullptr;
    for (const Group& group : window->groups) {
        GroupQuality& into = quality_.groups[indexOf(group.family, group.segment)];
        const auto& f = group.figures;
        ++into.windows;
        into.sent += f.sent;
        into.received += f.received;
        into.medians.add(f.median, f.received);
        into.jitterWeight += f.jitter * static_cast<double>(f.received);
        into.hourMedians[hour] += f.median * static_cast<double>(f.received);
        into.hourReceived[hour] += f.received;
        const ChartPoint point{from,
                               to,
                               line.at.offset,
                               static_cast<float>(f.p10),
                               static_cast<float>(f.median),
                               static_cast<float>(f.p90),
                               static_cast<float>(f.loss()),
                               f.received};
        into.points.push_back(point);
        while (into.points.front().to < to - pointsKept) {
            into.points.pop_front();
        }
        // The hour's means, weighted by the probes answered: its windows come one after another.
        const sys_seconds hourStart = floor<hours>(from);
        if (into.hours.empty() || into.hours.back().from != hourStart) {
            into.hours.push_back({hourStart, hourStart + hours{1}, line.at.offset});
        }
        ChartPoint& sum = into.hours.back();
        const auto weight = static_cast<float>(f.received);
        sum.p10 += point.p10 * weight;
        sum.median += point.median * weight;
        sum.p90 += point.p90 * weight;
        sum.loss += static_cast<float>(f.sent); // the probes sent, until the hour is done
        sum.received += f.received;
        if (to >= into.lastEnd) {
            into.last = f;
            into.lastEnd = to;
        }
        degraded = degraded || group.degraded;
        gateway = gateway || (group.degraded && group.segment == Segment::gateway);
        if (group.degraded &&
            (worst == nullptr || f.loss() > worst->figures.loss() ||
             (f.loss() == worst->figures.loss() && f.median > worst->figures.median))) {
            worst = &group;
        }
    }
    if (!degraded) {
        closeStretch();
        return;
    }
    if (!stretch_) {
        stretch_ = DegradedStretch{from, to, line.at.offset};
    }
    stretch_->to = to;
    ++stretch_->windows;
    stretch_->gatewayWindows += gateway ? 1 : 0;
    if (worst != nullptr && (worst->figures.loss() > stretch_->loss ||
                             (stretch_->loss == 0 && worst->figures.median > stretch_->median))) {
        stretch_->loss = worst->figures.loss();
        stretch_->median = worst->figures.median;
    }
}

void QualityReader::closeStretch() {
    if (stretch_ && stretch_->windows >= 2) {
        quality_.stretches.push_back(*stretch_);
    }
    stretch_.reset();
}

void QualityReader::finish() {
    closeStretch();
    for (GroupQuality& group : quality_.groups) {
        // Hours that came back (a clock set back) join their kin; then the sums become means.
        std::stable_sort(group.hours.begin(), group.hours.end(),
                         [](const ChartPoint& a, const ChartPoint& b) { return a.from < b.from; });
        std::vector<ChartPoint> hours;
        for (const ChartPoint& sum : group.hours) {
            if (!hours.empty() && hours.back().from == sum.from) {
                ChartPoint& kin = hours.back();
                kin.p10 += sum.p10;
                kin.median += sum.median;
                kin.p90 += sum.p90;
                kin.loss += sum.loss;
                kin.received += sum.received;
            } else {
                hours.push_back(sum);
            }
        }
        for (ChartPoint& hour : hours) {
            const float sent = hour.loss;
            const auto received = static_cast<float>(hour.received);
            if (hour.received > 0) {
                hour.p10 /= received;
                hour.median /= received;
                hour.p90 /= received;
            }
            hour.loss = sent > 0 ? 1 - received / sent : 0;
        }
        group.hours = std::move(hours);
    }
}

} // namespace report
