#include "base/errors.h"
#include "base/parallel.h"
#include "base/savefile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

namespace {

QByteArray contents(const QString &name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
}

TEST(SaveWhole, WritesAFileWholeOrLeavesTheOldOneAndSaysWhichAndWhy)
{
    QTemporaryDir folder;
    const QString name = folder.filePath(QStringLiteral("table.csv"));
    saveWhole(name, [](QIODevice &file) { return file.write("old\n") == 4; });
    EXPECT_EQ(contents(name), "old\n");

    // A writer that fails half-way, by its word or by throwing: the old file stays.
    EXPECT_THROW(saveWhole(name, [](QIODevice &file) { return file.write("new") < 0; }), QuenlariError);
    EXPECT_THROW(saveWhole(name,
                           [](QIODevice &file) -> bool {
                               file.write("new");
                               throw std::runtime_error("the encoder stopped");
                           }),
                 std::runtime_error);
    EXPECT_EQ(contents(name), "old\n");
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files), QStringList{QStringLiteral("table.csv")});

    const QString nowhere = folder.filePath(QStringLiteral("missing/table.csv"));
    try {
        saveWhole(nowhere, [](QIODevice &) { return true; });
        ADD_FAILURE() << "a file in a folder that does not exist was written";
    } catch (const QuenlariError &error) {
        EXPECT_EQ(QString::fromUtf8(error.what()).section(QLatin1Char(':'), 0, 0),
                  QStringLiteral("cannot write \"%1\"").arg(nowhere));
    }
    EXPECT_FALSE(QFile::exists(nowhere));

    try {
        saveWhole(name, [](QIODevice &) { return false; });
        ADD_FAILURE() << "a failed write was reported as a success";
    } catch (const QuenlariError &error) {
        EXPECT_STREQ(error.what(), ("cannot write \"" + name.toStdString() + "\": the data could not be written")
                                       .c_str());
    }
}

TEST(ForEachPart, DoesEveryPartOnceAndPassesOnTheFirstFailure)
{
    std::vector<std::atomic<int>> done(50);
    forEachPart(50, [&](int part) { ++done[std::size_t(part)]; });
    for (const std::atomic<int> &count : done)
        EXPECT_EQ(count.load(), 1);
    EXPECT_THROW(forEachPart(8,
                             [](int part) {
                                 if (part == 5)
                                     throw std::out_of_range("part 5");
                             }),
                 std::out_of_range);
}

TEST(ForEachPart, NestedInsideAPoolThreadOfAOneThreadPoolItFinishes)
{
    // The analysis runs on the pool, and its parts run parts of their own:
    // with every pool thread taken, the callers must do the work themselves.
    QThreadPool *pool = QThreadPool::globalInstance();
    const int threads = pool->maxThreadCount();
    pool->setMaxThreadCount(1);
    std::atomic<int> inner{0};
    std::promise<void> ended;
    std::future<void> end = ended.get_future();
    QFuture<void> running = QtConcurrent::run([&] {
        forEachPart(4, [&](int) { forEachPart(4, [&](int) { ++inner; }); });
        ended.set_value();
    });
    const bool finished = end.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    pool->setMaxThreadCount(threads);
    ASSERT_TRUE(finished) << "the parts wait on each other";
    running.waitForFinished();
    EXPECT_EQ(inner.load(), 16);
}

} // namespace
