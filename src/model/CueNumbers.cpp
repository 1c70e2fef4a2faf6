#include "model/CueNumbers.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <set>

#include "model/CXAudio.h"

namespace cuenumbers {

namespace {

// Text for a number from a step: "2", "1.5", "0.25"; no trailing zeros, no exponent.
std::string decimalText(double value, int decimals) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    std::string text = buffer;
    if (text.find('.') != std::string::npos) {
        while (!text.empty() && text.back() == '0') text.pop_back();
        if (!text.empty() && text.back() == '.') text.pop_back();
    }
    return text == "-0" ? "0" : text;
}

int decimalsOf(const std::string& text) {
    const auto dot = text.find('.');
    return dot == std::string::npos ? 0 : int(text.size() - dot - 1);
}

bool parseDecimal(const std::string& text, double* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    *value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(*value) &&
           text.find_first_of("eEnNxX") == std::string::npos;
}

}  // namespace

std::string trimmed(const std::string& number) {
    const auto first = number.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = number.find_last_not_of(" \t\r\n");
    return number.substr(first, last - first + 1);
}

bool isValid(const std::string& number) {
    if (number.empty() || number.size() > kMaxLength) return false;
    for (unsigned char c : number) {
        if (c <= 0x20 || c == 0x7f) return false;
        if (std::string_view("/#*?,[]{}").find(char(c)) != std::string_view::npos) return false;
    }
    return true;
}

int rowOf(const CueList& list, const std::string& number) {
    for (std::size_t i = 0; i < list.size(); ++i)
        if (list[i]->cueNumber == number) return int(i);
    return -1;
}

bool isTaken(const CueList& list, const std::string& number, int exceptRow) {
    for (std::size_t i = 0; i < list.size(); ++i)
        if (int(i) != exceptRow && list[i]->cueNumber == number) return true;
    return false;
}

long long wholePart(const std::string& number) {
    std::size_t digits = 0;
    while (digits < number.size() && digits < 15 && std::isdigit((unsigned char)number[digits]))
        ++digits;
    return digits ? std::stoll(number.substr(0, digits)) : 0;
}

std::string nextFree(const CueList& list, int rowAbove) {
    std::set<std::string> used;
    for (const auto& cue : list) used.insert(cue->cueNumber);
    long long candidate = 1;
    if (rowAbove >= 0 && std::size_t(rowAbove) < list.size())
        candidate = wholePart(list[std::size_t(rowAbove)]->cueNumber) + 1;
    while (used.count(std::to_string(candidate))) ++candidate;
    return std::to_string(candidate);
}

std::vector<int> assignMissing(CueList& list) {
    std::vector<int> numbered;
    std::set<std::string> used;
    for (const auto& cue : list)
        if (isValid(cue->cueNumber)) used.insert(cue->cueNumber);
    std::set<std::string> seen;
    long long next = 1;
    for (std::size_t i = 0; i < list.size(); ++i) {
        std::string& number = list[i]->cueNumber;
        if (isValid(number) && seen.insert(number).second) continue;
        // A list without numbers reads 1, 2, 3…: the row's own number when it is free.
        next = std::max(next, (long long)i + 1);
        while (used.count(std::to_string(next))) ++next;
        number = std::to_string(next);
        used.insert(number);
        seen.insert(number);
        numbered.push_back(int(i));
    }
    return numbered;
}

std::vector<std::string> renumbered(const CueList& list, const std::vector<int>& rows,
                                    const std::string& start, const std::string& step) {
    double first = 0, by = 0;
    if (!parseDecimal(start, &first) || !parseDecimal(step, &by) || by <= 0 || first < 0) return {};
    const int decimals = std::min(6, std::max(decimalsOf(start), decimalsOf(step)));
    std::set<int> chosen(rows.begin(), rows.end());
    std::set<std::string> others;
    for (std::size_t i = 0; i < list.size(); ++i)
        if (!chosen.count(int(i))) others.insert(list[i]->cueNumber);
    std::vector<std::string> numbers;
    std::set<std::string> mine;
    for (std::size_t k = 0; k < rows.size(); ++k) {
        std::string number = decimalText(first + by * double(k), decimals);
        if (!isValid(number) || others.count(number) || !mine.insert(number).second) return {};
        numbers.push_back(std::move(number));
    }
    return numbers;
}

}  // namespace cuenumbers
