#pragma once
// The text of the error an action raises, for tests that compare messages.
#include <exception>
#include <functional>
#include <string>

namespace tessel::test {

// What the E that action throws says; "other: <text>" for another exception,
// "no error" when it throws nothing.
template <class E>
std::string ErrorText(const std::function<void()>& action) {
  try {
    action();
  } catch (const E& error) {
    return error.what();
  } catch (const std::exception& error) {
    return std::string("other: ") + error.what();
  }
  return "no error";
}

}  // namespace tessel::test
