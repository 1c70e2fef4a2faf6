#pragma once

#include <exception>

// The program's one error: a cue whose stored file cannot be opened as audio.
class CXError : public std::exception {
public:
    enum Code { fileFailed };

    explicit CXError(Code code = fileFailed) : code_(code) {}
    Code code() const { return code_; }
    const char* what() const noexcept override { return "fileFailed"; }

private:
    Code code_;
};
