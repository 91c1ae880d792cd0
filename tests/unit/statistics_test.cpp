// SPDX-License-Identifier: GPL-2.0-only
// The client's statistics, counted straight from the bytes: inputs where a
// careless decoder or classifier goes wrong, with the counts worked out by hand
// from Unicode's rules, whole and cut wherever a read may end.

#include "../reads.hpp"
#include "statistics.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct Tricky {
    const char *name;
    std::string bytes;
    Counts expected;
};

const std::vector<Tricky> &tricky_inputs() {
    static const std::vector<Tricky> inputs = {
        {"sequence cut off at the end", "\xe2\x82", {2, 1, 1, 1, 0, 0, 0, 0}},
        {"cut-off sequence before a newline", "\xe2\x82\n", {3, 2, 1, 1, 0, 0, 1, 0}},
        {"above U+10FFFF", "\xf4\x90\x80\x80", {4, 4, 1, 1, 0, 0, 0, 0}},
        {"five-byte form", "\xf8\x88\x80\x80\x80", {5, 5, 1, 1, 0, 0, 0, 0}},
        {"six-byte form", "\xfc\x84\x80\x80\x80\x80", {6, 6, 1, 1, 0, 0, 0, 0}},
        {"overlong forms", "\xc0\xaf\xe0\x80\xaf", {5, 5, 1, 1, 0, 0, 0, 0}},
        {"surrogate", "\xed\xa0\x80", {3, 3, 1, 1, 0, 0, 0, 0}},
        // The Unicode standard's own example of maximal subparts: a, F1 80 80,
        // E1 80, C2, b, 80, c, 80, BF, d.
        {"maximal subparts",
         "a\xf1\x80\x80\xe1\x80\xc2"
         "b\x80"
         "c\x80\xbf"
         "d",
         {13, 10, 1, 1, 4, 0, 0, 0}},
        {"U+FFFD itself is a symbol", "\xef\xbf\xbd", {3, 1, 1, 1, 0, 0, 0, 1}},
        {"Arabic-Indic and Devanagari digits", "\xd9\xa3\xe0\xa5\xab", {5, 2, 1, 1, 0, 2, 0, 0}},
        {"numbers that are not decimal digits",
         "\xc2\xb2\xc2\xbd\xe2\x85\xab",
         {7, 3, 1, 1, 0, 0, 0, 0}},
        {"Devanagari with virama and vowel sign",
         "\xe0\xa4\xa8\xe0\xa4\xae\xe0\xa4\xb8\xe0\xa5\x8d\xe0\xa4\xa4\xe0\xa5\x87",
         {18, 6, 1, 1, 4, 0, 0, 0}},
        {"combining acute accent", "e\xcc\x81", {3, 2, 1, 1, 1, 0, 0, 0}},
        {"zero-width space, BOM and soft hyphen inside a word",
         "a\xe2\x80\x8b"
         "b\xef\xbb\xbf"
         "c\xc2\xad",
         {11, 6, 1, 1, 3, 0, 0, 0}},
        {"no-break spaces separate words",
         "a\xc2\xa0"
         "b\xe2\x80\xaf"
         "c",
         {8, 5, 3, 1, 3, 0, 2, 0}},
        {"emoji ZWJ sequence",
         "\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x92\xbb",
         {11, 3, 1, 1, 0, 0, 0, 2}},
        {"skin tone and flag",
         "\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd \xf0\x9f\x87\xab\xf0\x9f\x87\xb7",
         {17, 5, 2, 1, 0, 0, 1, 4}},
        {"CRLF line ends", "one\r\ntwo\r\n", {10, 10, 2, 2, 6, 0, 4, 0}},
        {"white space beyond ASCII", "\t\v\f\r \xc2\x85 \xe3\x80\x80x", {12, 9, 1, 1, 1, 0, 8, 0}},
        {"controls that are not white space",
         "a\x1c"
         "b\x01\x7f",
         {5, 5, 1, 1, 2, 0, 0, 0}},
        {"punctuation and symbols",
         "\xc2\xbf\xc2\xa1\xc2\xab\xc2\xbb\xe2\x82\xac$+^",
         {14, 8, 1, 1, 0, 0, 0, 8}},
        {"letters of four scripts",
         "\xce\xa9\xd0\xb6\xe4\xb8\xad\xe3\x85\x8e",
         {10, 4, 1, 1, 4, 0, 0, 0}},
        {"private use", "\xee\x80\x80", {3, 1, 1, 1, 0, 0, 0, 0}},
        {"letters of any script, a symbol and a digit",
         "h\xc3\xa9llo \xd0\xb6 \xe2\x82\xac"
         "5\n",
         {15, 11, 3, 1, 6, 1, 3, 1}},
        {"bytes that start no character",
         "\xff\xfe"
         "a\xc3",
         {4, 4, 1, 1, 1, 0, 0, 0}},
        {"lines and words follow white space", "\n\n  two   words\t\n", {17, 17, 2, 3, 8, 0, 9, 0}},
    };
    return inputs;
}

void expect_counts(const Counts &got, const Counts &e) {
    EXPECT_EQ(got, e) << "bytes " << got.bytes << ", characters " << got.characters << ", words "
                      << got.words << ", lines " << got.lines << ", letters " << got.letters
                      << ", digits " << got.digits << ", whitespace " << got.whitespace
                      << ", punctuation " << got.punctuation;
}

Counts count(std::string_view bytes, const std::vector<std::size_t> &cuts) {
    const std::optional<Counts> counts = counted_in_reads(bytes, cuts);
    EXPECT_TRUE(counts.has_value()) << "a take left more than it may";
    return counts.value_or(Counts{});
}

TEST(Statistics, TrickyInputsCountAsUnicodeSays) {
    for (const Tricky &t : tricky_inputs()) {
        SCOPED_TRACE(t.name);
        expect_counts(count(t.bytes, {}), t.expected);
    }
}

TEST(Statistics, SameCountsWhereverAReadEnds) {
    for (const Tricky &t : tricky_inputs()) {
        for (std::size_t inside = 1; inside < t.bytes.size(); ++inside) {
            SCOPED_TRACE(std::string(t.name) + ", cut after " + std::to_string(inside) + " bytes");
            expect_counts(count(t.bytes, {inside}), t.expected);
            expect_counts(count(t.bytes, {inside, inside}), t.expected); // an empty read
        }
    }
}

TEST(Statistics, NothingIsAnEmptyMessage) {
    expect_counts(count("", {}), {0, 0, 0, 0, 0, 0, 0, 0});
}

} // namespace
