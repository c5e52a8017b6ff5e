#ifndef TBX_TESTS_TEST_NAMES_H
#define TBX_TESTS_TEST_NAMES_H

#include <string>

#include <gtest/gtest.h>

// Names a parameterized test after its case's name.
struct ByName {
    template <typename T> std::string operator()(const ::testing::TestParamInfo<T> &info) const
    {
        return info.param.name;
    }
};

#endif
