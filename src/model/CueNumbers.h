#pragma once

#include <string>
#include <vector>

#include "model/ListFile.h"

// Cue numbers are the operator's names for cues ("1", "1.5", "12A"): what a stage manager calls
// and what a desk sends over MIDI or OSC. They never follow the rows, so a move or an insert
// leaves every other cue's number as it was.
namespace cuenumbers {

constexpr std::size_t kMaxLength = 12;

// A number fit to store: 1 to kMaxLength printable characters, none of them a space or one that
// OSC gives a meaning in an address ("/", "#", "*", "?", ",", brackets and braces), so every
// number can be called as /cuevox/cue/{number}/start. Trims the ends first.
bool isValid(const std::string& number);
std::string trimmed(const std::string& number);

// The row of the cue with this number, or -1.
int rowOf(const CueList& list, const std::string& number);
// Whether `number` is used by a cue other than the one on `exceptRow`.
bool isTaken(const CueList& list, const std::string& number, int exceptRow = -1);

// The leading whole part of a number: 12 for "12A", 3 for "3.5", 0 when it starts otherwise.
long long wholePart(const std::string& number);
// The first whole number after the one on `rowAbove` (or from 1 with no row above) that no cue
// in the list uses.
std::string nextFree(const CueList& list, int rowAbove);

// After a load: every cue without a valid number, or with one an earlier row already has, gets
// one. A list that never had numbers reads 1, 2, 3… in row order. Returns the rows it numbered.
std::vector<int> assignMissing(CueList& list);

// The numbers `rows` (in row order) would get from `start` in `step`: empty when one of them
// would be taken by a cue outside the selection or the start is not a number.
std::vector<std::string> renumbered(const CueList& list, const std::vector<int>& rows,
                                    const std::string& start, const std::string& step);

}  // namespace cuenumbers
