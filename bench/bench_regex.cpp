// Searching about 100 MB of text for a literal pattern, against std::search
// over the same buffer in the same run:
//   ratio regex-literal = SearchRegExp time / std::search time
// The literal stands once, near the end, so both read nearly the whole text.
// Each time is the best of several rounds. The time of a search that has to
// run the matcher from every start (no literal to skip by) is printed too.

// Search
#include "search/RegExp.h"

// Platform
#include <windows.h>

// Standard library
#include <algorithm>
#include <cstdio>
#include <random>
#include <string>

#include "bench/BenchShared.h"

namespace {

constexpr size_t kTextSize = 100u << 20;
constexpr int kRounds = 3;

}  // namespace

int wmain()
{
    // Text like a source tree's: words, spaces and line breaks.
    std::string text(kTextSize, ' ');
    std::mt19937 random(4711);
    const char* letters = "etaoinshrdlucmfwypvbgkjqxz_(){};=";
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned r = random() % 40;
        text[i] = r < 33 ? letters[r] : (r < 38 ? ' ' : '\n');
    }
    const std::string needle = "ExpandEnvironmentStrings";
    text.replace(text.size() - 1000, needle.size(), needle);

    ComPtr<IRegExp> literal = CreateRegExp(needle, 0, TRegExpMode::Ansi);
    double regexTime = 1e30, stdTime = 1e30;
    bool regexFound = false, stdFound = false;
    for (int round = 0; round < kRounds; ++round) {
        double start = Now();
        regexFound = SearchRegExp(literal.get(), text.data(), text.size());
        regexTime = std::min(regexTime, Now() - start);
        start = Now();
        stdFound = std::search(text.begin(), text.end(), needle.begin(), needle.end()) != text.end();
        stdTime = std::min(stdTime, Now() - start);
    }
    if (!regexFound || !stdFound)
        std::fprintf(stderr, "the literal was not found\n");
    std::printf("regex literal search: %.3f s, std::search: %.3f s (%zu MB)\n", regexTime, stdTime, kTextSize >> 20);
    std::printf("ratio regex-literal %.2f\n", regexTime / stdTime);

    // The file search's own setting (mode L, ignoring case) and a pattern
    // that starts with a class: the matcher runs at every start.
    ComPtr<IRegExp> folded = CreateRegExp("expandenv", kRegExpIgnoreCase, TRegExpMode::DoubleByte);
    double start = Now();
    bool found = SearchRegExp(folded.get(), text.data(), text.size());
    std::printf("mode L, I: %.3f s (%s)\n", Now() - start, found ? "found" : "not found");
    ComPtr<IRegExp> classed = CreateRegExp("[A-Z]xpand", 0, TRegExpMode::Ansi);
    start = Now();
    found = SearchRegExp(classed.get(), text.data(), text.size());
    std::printf("class first: %.3f s (%s)\n", Now() - start, found ? "found" : "not found");
    return 0;
}
