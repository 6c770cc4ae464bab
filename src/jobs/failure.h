// The error every worker throws when it has a sentence for the user.
#pragma once

#include <exception>
#include <string>

struct Failure : std::exception {
  explicit Failure(std::string message) : message(std::move(message)) {}
  const char* what() const noexcept override { return message.c_str(); }

  std::string message;
};
