#pragma once

#include <stdexcept>
#include <string>

// Typed errors of the store and the collectors. They are raised where a fault is
// found, so whatever was changed before stays changed; the window's handler turns
// them into a status line or an error report.
class EVexalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Data ends before a field that is needed, or a value leaves its range.
class ERangeError : public EVexalError {
public:
    using EVexalError::EVexalError;
};

// A text that should be a number is not one (only damaged stored data can do that).
class EConvertError : public EVexalError {
public:
    using EVexalError::EVexalError;
};
