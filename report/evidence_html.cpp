// The page as evidence: what each cause means and what to do about it, and behind each outage's
// cause, folded, what its diagnosis found at each stage and each hop of its path.
#include <string_view>

#include "html_parts.h"

namespace report::html {
namespace {

bool isAddress(std::string_view text) {
    return !text.empty() &&
           text.find_first_not_of("0123456789abcdefABCDEF.:") == std::string_view::npos;
}

std::vector<std::string_view> split(std::string_view text, std::string_view by) {
    std::vector<std::string_view> parts;
    for (std::size_t at = 0;;) {
        const std::size_t end = text.find(by, at);
        parts.push_back(text.substr(at, end == std::string_view::npos ? end : end - at));
        if (end == std::string_view::npos) {
            return parts;
        }
        at = end + by.size();
    }
}

// The hop the path stopped after, from "100.64.0.1 (hop 2)"; 0 where none is said.
int stopHop(std::string_view stop) {
    const std::size_t at = stop.rfind("(hop ");
    int hop = 0;
    for (std::size_t i = at == std::string_view::npos ? stop.size() : at + 5;
         i < stop.size() && stop[i] >= '0' && stop[i] <= '9'; ++i) {
        hop = hop * 10 + (stop[i] - '0');
    }
    return hop;
}

// One family's path as the record writes it, "ipv4 to 1.1.1.1: 192.168.1.1, *, unreachable, says
// 100.64.0.1, then silent (hops 4 to 16)": a numbered list of its hops and the words after them.
void appendPath(std::string& page, std::string_view path, std::string_view stop) {
    const int stoppedAt = stopHop(stop);
    const std::string_view stopAddress = stop.substr(0, stop.find(' '));
    const std::size_t colon = path.find(": ");
    const std::string_view head = path.substr(0, colon);
    if (colon == std::string_view::npos || head.find(" to ") == std::string_view::npos) {
        append(page, "<p>", escaped(std::string(path)), "</p>");
        return;
    }
    std::vector<std::string_view> tokens = split(path.substr(colon + 2), ", ");
    std::vector<std::string> hops;
    std::string after;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        std::string_view token = tokens[i];
        const bool reached = token.ends_with(" (reached)");
        token.remove_suffix(reached ? 10 : 0);
        if (token == "unreachable" && i + 1 < tokens.size() && tokens[i + 1].starts_with("says ")) {
            hops.push_back(std::string(tokens[++i].substr(5)) + ": says there is no way on");
        } else if (token == "*") {
            hops.emplace_back("no answer");
        } else if (isAddress(token)) {
            hops.push_back(std::string(token) + (reached ? ": the destination, reached" : ""));
        } else {
            for (std::size_t j = i; j < tokens.size(); ++j) {
                after.append(j > i ? ", " : "").append(tokens[j]);
            }
            break;
        }
    }
    append(page, "<p>", escaped(std::string(head)), ":</p>");
    if (!hops.empty()) {
        page += "<ol class=\"hops\">";
        for (std::size_t hop = 0; hop < hops.size(); ++hop) {
            const bool last = static_cast<int>(hop + 1) == stoppedAt && !stopAddress.empty() &&
                              hops[hop].starts_with(stopAddress);
            append(page, last ? "<li class=\"stop\">" : "<li>", escaped(hops[hop]),
                   last ? " <strong>(the path stops after this hop)</strong>" : "", "</li>");
        }
        page += "</ol>";
    }
    if (!after.empty()) {
        append(page, "<p>", escaped(after), "</p>");
    }
}

} // namespace

void appendLegend(std::string& page, const WatchFigures& watch) {
    page += "<dl class=\"legend\">\n";
    for (std::size_t i = 0; i < Cause::count; ++i) {
        if (watch.causes[i].outages == 0) {
            continue;
        }
        const CauseWords& words = wordsOf(Cause::at(i));
        const std::string name(Cause::at(i).name());
        append(page, "<dt><span class=\"swatch c-", name, "\"></span>", std::string(words.who),
               " <code>", name, "</code></dt><dd>", std::string(words.found),
               " <em>What to do:</em> ", std::string(words.toDo), "</dd>\n");
    }
    page += "</dl>\n";
}

void appendEvidence(std::string& page, const Outage& outage) {
    const Cause counted = primaryCause(outage);
    std::shared_ptr<const Evidence> found;
    std::string stop;
    for (std::size_t i = 0; i < outage.causes.size() && i < outage.evidence.size(); ++i) {
        if (Cause(outage.causes[i]) == counted) {
            found = outage.evidence[i];
            stop = i < outage.stops.size() ? outage.stops[i] : "";
            break;
        }
    }
    if (!found) {
        return;
    }
    const CauseWords& words = wordsOf(counted);
    append(page, "<details><summary>Evidence</summary><p>", std::string(words.found),
           " As its first diagnosis of this cause found:</p><dl class=\"evidence\">");
    for (const auto& [label, text] :
         {std::pair{"Your router", &found->gateway}, std::pair{"Name service", &found->nameService},
          std::pair{"Past the provider's edge", &found->beyond},
          std::pair{"The checked site", &found->site}, std::pair{"Loss", &found->loss}}) {
        if (!text->empty()) {
            append(page, "<dt>", label, "</dt><dd>", escaped(*text), "</dd>");
        }
    }
    if (!found->path.empty()) {
        page += "<dt>Path, hop by hop</dt><dd>";
        for (const std::string_view family : split(found->path, "; ")) {
            appendPath(page, family, stop);
        }
        page += "</dd>";
    }
    page += "</dl></details>";
}

} // namespace report::html
