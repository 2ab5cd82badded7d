#include "corvaxis/core/Log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace Log = corvaxis::Log;

namespace {
// Captures records and leaves the process-wide log state as it found it.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_savedLevel = Log::g_globalLevel;
        m_sink = Log::addSink([this](const Log::Record& record) { records.push_back(record); });
    }
    void TearDown() override
    {
        Log::removeSink(m_sink);
        Log::g_globalLevel = m_savedLevel;
        for (const std::string& category : m_filters)
            Log::removeCategoryFilter(category);
    }
    void filter(const std::string& category, int level)
    {
        Log::setCategoryLevel(category, level);
        m_filters.push_back(category);
    }

    std::vector<Log::Record> records;

private:
    int m_savedLevel = 0;
    std::size_t m_sink = 0;
    std::vector<std::string> m_filters;
};
}  // namespace

TEST_F(LogTest, DefaultGlobalLevelLetsWarningsAndAboveThrough)
{
    EXPECT_EQ(Log::g_globalLevel, 3);
    EXPECT_FALSE(Log::isAccepted(Log::Trace, "Core"));
    EXPECT_FALSE(Log::isAccepted(Log::Debug, "Core"));
    EXPECT_FALSE(Log::isAccepted(Log::Info, "Core"));
    EXPECT_TRUE(Log::isAccepted(Log::Warning, "Core"));
    EXPECT_TRUE(Log::isAccepted(Log::Error, "Core"));
    EXPECT_TRUE(Log::isAccepted(Log::Fatal, ""));

    Log::g_globalLevel = Log::Trace;
    EXPECT_TRUE(Log::isAccepted(Log::Trace, "Core"));
}

TEST_F(LogTest, CategoryFilterCoversItsSubCategoriesOnly)
{
    filter("A.B", Log::Error);
    EXPECT_FALSE(Log::isAccepted(Log::Warning, "A.B"));
    EXPECT_FALSE(Log::isAccepted(Log::Warning, "A.B.C"));
    EXPECT_TRUE(Log::isAccepted(Log::Error, "A.B.C"));
    EXPECT_TRUE(Log::isAccepted(Log::Warning, "A.BC"));
    EXPECT_TRUE(Log::isAccepted(Log::Warning, "A"));
    EXPECT_TRUE(Log::isAccepted(Log::Warning, "X.A.B"));

    // The most specific filter decides.
    filter("A.B.C", Log::Warning);
    EXPECT_TRUE(Log::isAccepted(Log::Warning, "A.B.C.D"));
    EXPECT_FALSE(Log::isAccepted(Log::Warning, "A.B.E"));

    Log::removeCategoryFilter("A.B");
    EXPECT_TRUE(Log::isAccepted(Log::Warning, "A.B.E"));
}

TEST_F(LogTest, BothGlobalLevelAndCategoryMustAccept)
{
    filter("Core.Parameter", Log::Trace);
    EXPECT_FALSE(Log::isAccepted(Log::Info, "Core.Parameter"));
    Log::g_globalLevel = Log::Info;
    EXPECT_TRUE(Log::isAccepted(Log::Info, "Core.Parameter"));
}

TEST_F(LogTest, LogIfAcceptedBuildsTheMessageOnlyWhenAccepted)
{
    int built = 0;
    const auto build = [&] {
        ++built;
        return std::string("message");
    };
    Log::logIfAccepted(Log::Info, "Core", build);
    filter("Core.Quiet", Log::Fatal);
    Log::logIfAccepted(Log::Error, "Core.Quiet", build);
    EXPECT_EQ(built, 0);
    EXPECT_TRUE(records.empty());

    Log::logIfAccepted(Log::Warning, "Core.Loud", build);
    EXPECT_EQ(built, 1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, Log::Warning);
    EXPECT_EQ(records[0].category, "Core.Loud");
    EXPECT_EQ(records[0].message, "message");
    EXPECT_EQ(records[0].file, "");
    EXPECT_EQ(records[0].line, -1);
}

TEST_F(LogTest, SinksReceiveEveryRecordUntilRemoved)
{
    std::vector<std::string> second;
    std::size_t secondId = 0;
    secondId = Log::addSink([&](const Log::Record& record) {
        second.push_back(record.message);
        // Removing itself while a record is written must not disturb the others.
        Log::removeSink(secondId);
    });
    Log::log(Log::Error, "Core", "one", "file.cpp", 12);
    Log::log(Log::Error, "Core", "two", "", -1);

    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].file, "file.cpp");
    EXPECT_EQ(records[0].line, 12);
    EXPECT_EQ(records[1].message, "two");
    EXPECT_EQ(second, std::vector<std::string>{"one"});
}
