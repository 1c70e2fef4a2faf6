#pragma once

#include <exception>
#include <string>

// The program's one error: a cue whose stored file cannot be opened as audio.
class CXError : public std::exception {
public:
    enum Code { fileFailed };

    explicit CXError(Code code = fileFailed, std::string reason = {})
        : code_(code), reason_(std::move(reason)) {}
    Code code() const { return code_; }
    const char* what() const noexcept override { return "fileFailed"; }
    // What the decoder said about the file, for the operator; may be empty.
    const std::string& reason() const { return reason_; }

private:
    Code code_;
    std::string reason_;
};
