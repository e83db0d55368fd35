#include "tests/support/TestSupport.h"
#include "ui/cast/GrowingFile.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>

#include <memory>
#include <thread>

using kvr::ui::cast::GrowingFile;

// A writer thread grows a real file while this thread reads the record: every count it sees is already on
// disk, and a failed conversion is visible as failed as soon as it is visible as finished.
TEST(GrowingFile, ReaderNeverSeesBytesAheadOfTheDiskAndFailureBeforeTheEnd)
{
    auto file = std::make_shared<GrowingFile>();
    file->path = QString::fromStdString((kvr::test::scratchDirectory() / "growing.ts").string());
    EXPECT_EQ(file->writtenBytes(), 0);
    EXPECT_FALSE(file->isFinished()) << "a fresh record has nothing to serve yet";

    constexpr qint64 kPiece = 16 * 1024;
    constexpr int kPieces = 64; // 1 MiB, then the conversion fails
    std::thread writer([file] {
        QFile out(file->path);
        if (!out.open(QIODevice::WriteOnly)) {
            file->finish(true);
            return;
        }
        const QByteArray piece(kPiece, 'k');
        for (int i = 0; i < kPieces; ++i) {
            out.write(piece);
            out.flush();
            file->addWritten(kPiece);
        }
        file->finish(true);
    });

    qint64 last = 0;
    for (;;) {
        const bool finished = file->isFinished();
        const qint64 written = file->writtenBytes();
        ASSERT_GE(written, last) << "the count only grows";
        ASSERT_LE(written, QFileInfo(file->path).size()) << "counted bytes are on disk";
        if (finished) {
            EXPECT_TRUE(file->hasFailed()) << "failed is set before finished";
            break;
        }
        last = written;
        std::this_thread::yield();
    }
    writer.join();
    EXPECT_EQ(file->writtenBytes(), kPiece * kPieces) << "the MiB written before the failure stays servable";
    EXPECT_EQ(QFileInfo(file->path).size(), kPiece * kPieces);
}
