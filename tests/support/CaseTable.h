#pragma once
// Tables of cases run as parameterised tests: each row is a test of its own,
// named after its `what`, so a failure names its row and a long table can be
// shared out row by row between processes (GoogleTest shards).

#include <gtest/gtest.h>

#include <cctype>
#include <string>

// `what` with every run of characters other than letters and digits turned
// into one underscore: a name GoogleTest accepts.
inline std::string caseTestName(const char *what)
{
    std::string name;
    bool gap = false;
    for (const char *p = what; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (std::isalnum(c)) {
            if (gap && !name.empty())
                name += '_';
            name += static_cast<char>(c);
            gap = false;
        } else {
            gap = true;
        }
    }
    return name;
}

// Name generator for INSTANTIATE_TEST_SUITE_P over a table whose rows have `what`.
struct CaseNamedByWhat
{
    template <class Info>
    std::string operator()(const Info &info) const
    {
        return caseTestName(info.param.what);
    }
};
