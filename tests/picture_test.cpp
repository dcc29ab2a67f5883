#include "app/form1.h"
#include "app/startup.h"
#include "picture/loadpicture.h"
#include "tests/support.h"

#include <QDirIterator>
#include <QFileDialog>
#include <QTimer>

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace {

const QRgb kOrange = qRgb(255, 128, 0);

struct Pictures
{
    QTemporaryDir folder;
    Form1 form;
    QSignalSpy errors{&form, &Form1::errorShown};
    std::optional<QString> answer; // what the "person" answers the next dialog
    int asked = 0;

    Pictures()
    {
        form.fileDialog().setAnswer([this](const CommonDialog &) {
            ++asked;
            return answer;
        });
    }
    QString path(const QString &name) const { return folder.filePath(name); }
    QString write(const QString &name, const char *format, QSize size = QSize(300, 120),
                  QRgb colour = kOrange)
    {
        QImage image(size, QImage::Format_RGB32);
        image.fill(colour);
        EXPECT_TRUE(image.save(path(name), format));
        return path(name);
    }
    void open(std::optional<QString> chosen)
    {
        answer = std::move(chosen);
        form.findChild<QAction *>("mnuOpen")->trigger();
    }
    QRgb at(int x, int y) const { return form.surface().image().pixel(x, y); }
};

bool near(QRgb a, QRgb b) // jpg is lossy
{
    return std::abs(qRed(a) - qRed(b)) <= 8 && std::abs(qGreen(a) - qGreen(b)) <= 8 &&
           std::abs(qBlue(a) - qBlue(b)) <= 8;
}

TEST(OpenPicture, SetsUpTheDialogAsDesigned)
{
    Pictures test;
    CommonDialog seen;
    test.form.fileDialog().setAnswer([&](const CommonDialog &dialog) {
        seen = dialog;
        return std::nullopt;
    });
    test.form.findChild<QAction *>("mnuOpen")->trigger();
    EXPECT_EQ(seen.dialogTitle(), "Marovek Quenlari. Open");
    EXPECT_EQ(seen.filter(), "Picture  (*.bmp;*.jpg)|*.bmp*;*.jpg");
    EXPECT_EQ(seen.nameFilter(), "Picture  (*.bmp;*.jpg) (*.bmp* *.jpg)");
    EXPECT_EQ(seen.flags(), 4);
    EXPECT_EQ(seen.initDir(), QCoreApplication::applicationDirPath());
}

TEST(OpenPicture, ABmpAndAJpgBecomeTheBackgroundUnderThePlotUntilTheNextRedraw)
{
    Pictures test;
    EXPECT_EQ(test.at(60, 5), 0xFF000000u); // black plot background
    test.open(test.write(QStringLiteral("a picture ăîș.bmp"), "BMP"));
    EXPECT_EQ(test.errors.count(), 0);
    EXPECT_EQ(test.at(60, 5), kOrange);
    EXPECT_EQ(test.at(49, 60), qRgb(0, 128, 0)); // the grid stays over it
    EXPECT_EQ(test.at(300, 60), 0xFF000000u);    // top-left, unscaled
    QTest::mouseClick(test.form.findChild<QPushButton *>("Command1"), Qt::LeftButton);
    EXPECT_EQ(test.at(60, 5), 0xFF000000u);

    test.open(test.write(QStringLiteral("b.jpg"), "JPG"));
    EXPECT_EQ(test.errors.count(), 0);
    EXPECT_TRUE(near(test.at(60, 5), kOrange));
}

TEST(OpenPicture, ASecondPictureReplacesTheFirst)
{
    Pictures test;
    const QRgb teal = qRgb(0, 160, 160);
    test.open(test.write(QStringLiteral("a.bmp"), "BMP", QSize(600, 300)));
    test.open(test.write(QStringLiteral("b.bmp"), "BMP", QSize(200, 100), teal));
    EXPECT_EQ(test.errors.count(), 0);
    EXPECT_EQ(test.at(60, 5), teal);
    EXPECT_EQ(test.at(400, 200), 0xFF000000u);   // a.bmp showed here: the back colour again
    EXPECT_EQ(test.at(49, 60), qRgb(0, 128, 0)); // the grid stays over it
}

TEST(OpenPicture, ACancelLoadsTheLastConfirmedNameOrNothing)
{
    Pictures test;
    const QImage startUp = test.form.surface().image().copy();
    test.open(std::nullopt);
    EXPECT_EQ(test.asked, 1);
    EXPECT_EQ(test.errors.count(), 0);
    EXPECT_EQ(test.form.surface().image(), startUp);

    test.open(test.write(QStringLiteral("a.bmp"), "BMP"));
    QTest::mouseClick(test.form.findChild<QPushButton *>("Command1"), Qt::LeftButton);
    EXPECT_EQ(test.at(60, 5), 0xFF000000u);
    test.open(std::nullopt); // a.bmp again
    EXPECT_EQ(test.at(60, 5), kOrange);
    EXPECT_EQ(test.errors.count(), 0);
}

TEST(OpenPicture, AJpegTypedByNameLoads)
{
    Pictures test;
    test.open(test.write(QStringLiteral("picture.jpeg"), "JPG"));
    EXPECT_EQ(test.errors.count(), 0);
    EXPECT_TRUE(near(test.at(60, 5), kOrange));
}

TEST(OpenPicture, AFileThatIsNoPictureGivesAMessageAndKeepsTheBackground)
{
    Pictures test;
    test.open(test.write(QStringLiteral("a.bmp"), "BMP"));
    const QImage withPicture = test.form.surface().image().copy();
    {
        QFile notes(test.path(QStringLiteral("notes.bmp")));
        ASSERT_TRUE(notes.open(QIODevice::WriteOnly));
        notes.write("Shopping: milk, bread, resistors.\n");
    }
    test.open(test.path(QStringLiteral("notes.bmp")));
    ASSERT_EQ(test.errors.count(), 1);
    const QString message = test.errors.at(0).at(0).toString();
    EXPECT_TRUE(message.contains(QStringLiteral("notes.bmp"))) << message.toStdString();
    EXPECT_TRUE(message.contains(QStringLiteral("not a picture"))) << message.toStdString();
    EXPECT_EQ(test.form.surface().image(), withPicture);

    test.open(test.path(QStringLiteral("missing.jpg")));
    ASSERT_EQ(test.errors.count(), 2);
    EXPECT_TRUE(test.errors.at(1).at(0).toString().contains(QStringLiteral("does not exist")));
    EXPECT_EQ(test.form.surface().image(), withPicture);
}

TEST(OpenPicture, AForgedHugeBmpHeaderIsRefusedBeforeDecoding)
{
    Pictures test;
    // A 54-byte bmp header that claims 60000 x 60000 pixels of 24 bits, and no pixels.
    QByteArray header(54, '\0');
    auto put32 = [&](int at, uint32_t value) {
        for (int i = 0; i < 4; ++i)
            header[at + i] = static_cast<char>(value >> (8 * i));
    };
    header[0] = 'B';
    header[1] = 'M';
    put32(2, 54 + 60000u * 60000u * 3 % 0x7FFFFFFF);
    put32(10, 54);
    put32(14, 40);
    put32(18, 60000);
    put32(22, 60000);
    header[26] = 1;
    header[28] = 24;
    {
        QFile forged(test.path(QStringLiteral("forged.bmp")));
        ASSERT_TRUE(forged.open(QIODevice::WriteOnly));
        forged.write(header);
    }
    const QImage before = test.form.surface().image().copy();
    const long residentBefore = residentKilobytes();
    test.open(test.path(QStringLiteral("forged.bmp")));
    EXPECT_LT(residentKilobytes() - residentBefore, 64 * 1024);
    ASSERT_EQ(test.errors.count(), 1);
    const QString message = test.errors.at(0).at(0).toString();
    EXPECT_TRUE(message.contains(QStringLiteral("forged.bmp"))) << message.toStdString();
    EXPECT_TRUE(message.contains(QStringLiteral("60000 x 60000"))) << message.toStdString();
    EXPECT_EQ(test.form.surface().image(), before);
}

TEST(OpenPicture, ALargePhotographLoadsWithoutDecodingWhatCannotShow)
{
    Pictures test;
    // 10000 x 7000 pixels, more than a whole decode would take, with a mark at the top left.
    {
        QImage photo(10000, 7000, QImage::Format_Grayscale8);
        photo.fill(200);
        for (int y = 0; y < 50; ++y)
            std::fill_n(photo.scanLine(y), 100, 20);
        ASSERT_TRUE(photo.save(test.path(QStringLiteral("photo.jpg")), "JPG", 90));
    }
    const long residentBefore = residentKilobytes();
    test.open(test.path(QStringLiteral("photo.jpg")));
    EXPECT_LT(residentKilobytes() - residentBefore, 32 * 1024); // the whole picture is 70 MB in grey alone
    ASSERT_EQ(test.errors.count(), 0) << test.errors.at(0).at(0).toString().toStdString();
    EXPECT_TRUE(near(test.at(60, 5), qRgb(20, 20, 20)));
    EXPECT_TRUE(near(test.at(300, 5), qRgb(200, 200, 200)));
    EXPECT_TRUE(near(test.at(1100, 480), qRgb(200, 200, 200)));
}

TEST(OpenPicture, UsingTheWindowWritesNoSettingsFile)
{
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral("config"))));
    keepNoSettings();
    QTemporaryDir folder;
    const QString picture = folder.filePath(QStringLiteral("a.bmp"));
    {
        QImage image(50, 50, QImage::Format_RGB32);
        image.fill(kOrange);
        ASSERT_TRUE(image.save(picture, "BMP"));
    }
    {
        Form1 form;
        // The toolkit's own dialog, shown and cancelled by "the person".
        QTimer::singleShot(200, [] {
            if (auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget()))
                dialog->reject();
        });
        form.findChild<QAction *>("mnuOpen")->trigger();
        form.fileDialog().setAnswer([&](const CommonDialog &) { return picture; });
        form.findChild<QAction *>("mnuOpen")->trigger();
        EXPECT_EQ(form.surface().image().pixel(40, 30), kOrange);
        form.findChild<QAction *>("mnuAbout")->trigger();
        form.findChild<QAction *>("mnuExit")->trigger();
        QApplication::processEvents();
    }
    QStringList written;
    for (QDirIterator it(home.path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories);
         it.hasNext();)
        written << it.next();
    EXPECT_TRUE(written.isEmpty()) << written.join(QLatin1Char(' ')).toStdString();
}

TEST(LoadPicture, GivesTheEmptyPictureForTheEmptyNameAndCutsToWhatShows)
{
    EXPECT_TRUE(LoadPicture(QString(), QSize(1245, 493)).isNull());
    QTemporaryDir folder;
    QImage big(2000, 900, QImage::Format_RGB32);
    big.fill(kOrange);
    const QString name = folder.filePath(QStringLiteral("big.jpg"));
    ASSERT_TRUE(big.save(name, "JPG"));
    EXPECT_EQ(LoadPicture(name, QSize(1245, 493)).size(), QSize(1245, 493));
    EXPECT_THROW(LoadPicture(folder.path(), QSize(1245, 493)), picture::PictureError);
}

} // namespace
