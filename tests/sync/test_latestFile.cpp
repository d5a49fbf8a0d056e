// The writer that keeps the status file and the health file up to date off the main thread. A program of its own:
// it starts no process, so nothing forks beside its thread.
#include "sync/latestFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <mutex>
#include <utility>
#include <vector>

namespace {

// The latest state reaches the file, from the writer's own thread; a failure is said once per turn, not per write.
TEST(LatestFile, WritesTheLatestStateAndSaysAFailureOncePerTurn)
{
    QTemporaryDir folder;
    std::mutex lock;
    QByteArray content = "{\"n\":0}";
    std::vector<std::pair<bool, QString>> turns;
    const QString path = folder.filePath(QStringLiteral("status.json"));
    {
        TLatestFile file(
            path,
            [&] {
                const std::scoped_lock guard(lock);
                return content;
            },
            [&](bool AWritten, const QString& AError) {
                const std::scoped_lock guard(lock);
                turns.emplace_back(AWritten, AError);
            },
            std::chrono::milliseconds(0));
        for (int n = 1; n <= 50; ++n) {
            {
                const std::scoped_lock guard(lock);
                content = "{\"n\":" + QByteArray::number(n) + "}";
            }
            file.Touch();
        }
        file.Flush();
        QFile written(path);
        ASSERT_TRUE(written.open(QIODevice::ReadOnly));
        EXPECT_EQ(written.readAll(), QByteArray("{\"n\":50}"));
        // A folder in the file's place: every write fails, said once.
        written.close();
        ASSERT_TRUE(QFile::remove(path));
        ASSERT_TRUE(QDir().mkdir(path));
        for (int n = 0; n < 3; ++n) {
            file.Touch();
            file.Flush();
        }
        ASSERT_TRUE(QDir().rmdir(path));
        file.Touch();
    } // written once more before it goes
    EXPECT_TRUE(QFileInfo::exists(path));
    const std::scoped_lock guard(lock);
    ASSERT_EQ(turns.size(), 2u);
    EXPECT_FALSE(turns[0].first);
    EXPECT_FALSE(turns[0].second.isEmpty());
    EXPECT_TRUE(turns[1].first);
}

} // namespace
