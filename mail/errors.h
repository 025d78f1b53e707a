// SPDX-License-Identifier: Apache-2.0
#pragma once
// Exceptions of the mail layer. ClassName() is part of observable texts: the SMTP client reports
// failures as "500 " + ClassName() + ": " + message.
#include <stdexcept>
#include <string>

namespace kestravo::mail {

class EVyrError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    virtual const char* ClassName() const noexcept { return "Exception"; }
};

// A silent failure: background handling ignores it.
class EAbort : public EVyrError {
public:
    using EVyrError::EVyrError;
    const char* ClassName() const noexcept override { return "EAbort"; }
};

// Failures of the message-window (event delivery) layer.
class EVyrException : public EVyrError {
public:
    using EVyrError::EVyrError;
    const char* ClassName() const noexcept override { return "EVyrException"; }
};

class ESocketException : public EVyrError {
public:
    using EVyrError::EVyrError;
    const char* ClassName() const noexcept override { return "ESocketException"; }
};

class SmtpException : public EVyrError {
public:
    using EVyrError::EVyrError;
    const char* ClassName() const noexcept override { return "SmtpException"; }
};

} // namespace kestravo::mail
