// The log reader against entries built by the log's own formatter, so that the
// tests' view of the log cannot drift from what the programs write.
#include "support/log_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "diag/log_format.h"

namespace {

using test_support::log_entry;
using test_support::log_view;

const SYSTEMTIME kTime = {2026, 12, 4, 10, 23, 30, 5, 0};

std::string entry(diag::entry_kind kind, const char* file, unsigned line, const char* message,
                  int code) {
    diag::entry_buffer out;
    diag::format_entry(out, kind, file, line, kTime, message, code);
    return std::string(out.data(), out.size());
}

std::string trace(const char* file, unsigned line, const char* caller, const char* callee) {
    diag::entry_buffer out;
    diag::format_trace(out, file, line, caller, callee);
    return std::string(out.data(), out.size());
}

TEST(LogReader, ReadsEveryFieldOfEntriesAndTraces) {
    const log_view log(entry(diag::entry_kind::error, "..\\src\\Service", 42, "f(): failed.", -5) +
                       trace("..\\src\\tools", 7, "f()", "g()") +
                       entry(diag::entry_kind::warning, "..\\src\\winrelay", 9, "w.", 0));

    ASSERT_EQ(2u, log.entries().size());
    const log_entry& error = log.entries()[0];
    EXPECT_EQ(log_entry::kind_t::error, error.kind);
    EXPECT_EQ("..\\src\\Service", error.module);
    EXPECT_EQ(42u, error.line);
    EXPECT_EQ("Thu Dec 10 23:30:05 2026", error.time);
    EXPECT_EQ("f(): failed.", error.message);
    EXPECT_EQ(-5, error.code);
    const log_entry& warning = log.entries()[1];
    EXPECT_EQ(log_entry::kind_t::warning, warning.kind);
    EXPECT_EQ("..\\src\\winrelay", warning.module);
    EXPECT_EQ("w.", warning.message);

    ASSERT_EQ(1u, log.traces().size());
    EXPECT_EQ("f()", log.traces()[0].caller);
    EXPECT_EQ("g()", log.traces()[0].callee);
    EXPECT_EQ("..\\src\\tools", log.traces()[0].module);
    EXPECT_EQ(7u, log.traces()[0].line);
    EXPECT_EQ(1u, log.count_traces("f()", "g()"));
}

// Whole messages only: one that ends or starts another message, a code of the
// next entry, or a warning with the right text never counts as the error.
TEST(LogReader, MatchesWholeMessagesAndTheirOwnCode) {
    const log_view log(entry(diag::entry_kind::error, "m", 1, "x(): failed to y().", 2) +
                       entry(diag::entry_kind::warning, "m", 2, "z().", 0) +
                       entry(diag::entry_kind::error, "m", 3, "z().", 3));

    EXPECT_EQ(1u, log.count("x(): failed to y()."));
    EXPECT_EQ(0u, log.count("y()."));
    EXPECT_EQ(0u, log.count("x(): failed"));
    EXPECT_EQ(1u, log.count_starting("x(): failed"));
    EXPECT_EQ(2u, log.count("z()."));
    EXPECT_EQ(1u, log.count_errors("x(): failed to y().", 2));
    EXPECT_EQ(0u, log.count_errors("x(): failed to y().", 3));
    EXPECT_EQ(1u, log.count_errors("z().", 3));
    EXPECT_EQ(0u, log.count_errors("z().", 0));  // the warning is no error
    EXPECT_TRUE(log.has_error("m", "z().", 3));
    EXPECT_FALSE(log.has_error("n", "z().", 3));
}

TEST(LogReader, KeepsAMessageOfSeveralLinesWhole) {
    const log_view log(
        entry(diag::entry_kind::error, "m", 1, "first\nmodule a exec b in c at 1", 4) +
        entry(diag::entry_kind::warning, "m", 2, "one\ntwo", 0));

    ASSERT_EQ(2u, log.entries().size());
    EXPECT_EQ("first\nmodule a exec b in c at 1", log.entries()[0].message);
    EXPECT_EQ(4, log.entries()[0].code);
    EXPECT_EQ("one\ntwo", log.entries()[1].message);
    EXPECT_TRUE(log.traces().empty());
}

// A header whose message never arrived still counts as an entry.
TEST(LogReader, CountsAHeaderWithoutItsMessage) {
    const std::string whole = entry(diag::entry_kind::error, "m", 1, "cut.", 1);
    const log_view log(whole.substr(0, whole.find("message: ")));

    ASSERT_EQ(1u, log.entries().size());
    EXPECT_EQ("", log.entries()[0].message);
}

TEST(LogReader, AnEmptyOrForeignTextHasNoEntries) {
    EXPECT_TRUE(log_view("").entries().empty());
    EXPECT_TRUE(log_view("ERROR: something else\r\nmessage: no header\r\n").entries().empty());
}

}  // namespace
