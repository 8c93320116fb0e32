// The sounds the build makes, and the player that finds and plays them.

#include "ui/sound_player.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <cstring>
#include <thread>

using namespace pellox::ui;

namespace {

// The fields of a canonical PCM WAV file, and its samples as -1..1.
struct Wave {
    bool valid = false;
    int format = 0, channels = 0, rate = 0, bits = 0;
    std::vector<double> samples;
};

int Le(const QByteArray& bytes, int at, int size) {
    int value = 0;
    for (int i = size - 1; i >= 0; --i) value = value * 256 + static_cast<unsigned char>(bytes[at + i]);
    return value;
}

Wave ReadWave(const QString& path) {
    Wave wave;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return wave;
    const QByteArray bytes = file.readAll();
    if (bytes.size() < 44 || !bytes.startsWith("RIFF") || bytes.mid(8, 8) != "WAVEfmt " ||
        bytes.mid(36, 4) != "data" || Le(bytes, 4, 4) != bytes.size() - 8 ||
        Le(bytes, 40, 4) != bytes.size() - 44) {
        return wave;
    }
    wave.format = Le(bytes, 20, 2);
    wave.channels = Le(bytes, 22, 2);
    wave.rate = Le(bytes, 24, 4);
    wave.bits = Le(bytes, 34, 2);
    for (int at = 44; at + 1 < bytes.size(); at += 2) {
        wave.samples.push_back(static_cast<std::int16_t>(Le(bytes, at, 2)) / 32768.0);
    }
    wave.valid = true;
    return wave;
}

}  // namespace

class SoundPlayerTest : public QObject {
    Q_OBJECT

private slots:
    void theSoundsAreShortAudibleAndEndQuietly_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<double>("minSeconds");
        QTest::addColumn<double>("maxSeconds");
        QTest::newRow("alarm") << QString("alarm2.wav") << 0.4 << 1.5;
        QTest::newRow("send") << QString("default") << 0.05 << 0.4;
    }
    void theSoundsAreShortAudibleAndEndQuietly() {
        QFETCH(QString, name);
        QFETCH(double, minSeconds);
        QFETCH(double, maxSeconds);
        SoundPlayer player;
        const QString path = player.FilePath(name);
        QVERIFY2(!path.isEmpty(), qPrintable(name));
        const Wave wave = ReadWave(path);
        QVERIFY(wave.valid);
        QCOMPARE(wave.format, 1);  // PCM
        QCOMPARE(wave.channels, 1);
        QCOMPARE(wave.bits, 16);
        QCOMPARE(wave.rate, 22050);
        const double seconds = double(wave.samples.size()) / wave.rate;
        QVERIFY2(seconds >= minSeconds && seconds <= maxSeconds, qPrintable(QString::number(seconds)));
        double peak = 0;
        for (double s : wave.samples) peak = std::max(peak, std::abs(s));
        QVERIFY2(peak > 0.2 && peak < 1.0, qPrintable(QString::number(peak)));  // loud, not clipped
        QVERIFY(std::abs(wave.samples.front()) < 0.05);
        QVERIFY(std::abs(wave.samples.back()) < 0.01);  // no click at the end
    }

    // The backend is loaded with the first sound to be played, not before, and the
    // sound is then loaded and ready.
    void theFirstSoundLoadsTheBackendAndPlays_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("alarm") << QString("alarm2.wav");
        QTest::newRow("send") << QString("default");
    }
    void theFirstSoundLoadsTheBackendAndPlays() {
        QFETCH(QString, name);
        SoundPlayer player;
        QVERIFY(!player.backendLoaded());
        player.Play("nothing-here");  // nothing to play: nothing loaded
        QVERIFY(!player.backendLoaded());
        player.Play(name);
        QVERIFY(player.backendLoaded());
        QTRY_VERIFY_WITH_TIMEOUT(player.Ready(name), 3000);
        player.Play(name);  // again, from the sound already loaded
        QVERIFY(player.Ready(name));
    }

    void playRecordsTheNameAndReturnsAtOnce() {
        SoundPlayer player;
        QSignalSpy requested(&player, &SoundPlayer::playRequested);
        player.Play("alarm2.wav");
        player.Play("default");
        QCOMPARE(player.lastRequested(), QString("default"));
        QCOMPARE(player.requestCount(), 2);
        QCOMPARE(requested.size(), 2);
        QCOMPARE(requested.front().front().toString(), QString("alarm2.wav"));
    }

    void unknownOrUnsafeNamesPlayNothing() {
        SoundPlayer player;
        QVERIFY(player.FilePath("nothing-here").isEmpty());
        QVERIFY(player.FilePath("../ui/sounds/alarm2.wav").isEmpty());
        QVERIFY(player.FilePath("").isEmpty());
        player.Play("nothing-here");
        QCOMPARE(player.lastRequested(), QString("nothing-here"));
        QVERIFY(!player.Ready("nothing-here"));
    }

    void foldersAreSearchedInOrder() {
        QTemporaryDir first;
        SoundPlayer builtIn;
        const QString original = builtIn.FilePath("alarm2.wav");
        QVERIFY(QFile::copy(original, first.filePath("alarm2.wav")));
        SoundPlayer player({first.path(), QFileInfo(original).absolutePath()});
        QCOMPARE(player.FilePath("alarm2.wav"), QFileInfo(first.filePath("alarm2.wav")).absoluteFilePath());
        QCOMPARE(player.FilePath("default"), builtIn.FilePath("default"));
        QVERIFY(SoundPlayer({first.path()}).FilePath("default").isEmpty());
    }

    void anotherThreadsPlayRunsOnThePlayersThread() {
        SoundPlayer player;
        QThread* seen = nullptr;
        connect(&player, &SoundPlayer::playRequested, &player,
                [&seen] { seen = QThread::currentThread(); }, Qt::DirectConnection);
        std::thread network([&player] { player.Play("default"); });
        network.join();
        QTRY_COMPARE(player.requestCount(), 1);
        QCOMPARE(seen, QThread::currentThread());
    }
};

QTEST_MAIN(SoundPlayerTest)
#include "sound_player_test.moc"
