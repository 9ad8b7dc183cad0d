#pragma once
// The engine tests' way to look at a failure: run the body, take the
// velkin::Error it throws, and fail the test when it throws none.

#include "db/error.h"

#include <gtest/gtest.h>

namespace velkin::testing {

template <typename F>
Error ErrorOf(F&& body) {
    try {
        body();
    } catch (const Error& e) {
        return e;
    }
    ADD_FAILURE() << "no velkin::Error was thrown";
    return Error(0, QString());
}

}  // namespace velkin::testing
