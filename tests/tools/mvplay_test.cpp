// mvplay as a user runs it: renders generated files to WAV and compares the
// samples; rejects bad command lines and unreadable files with a message.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status;
    std::string errors;
};

class Mvplay : public ::testing::Test {
protected:
    fs::path dir = fs::temp_directory_path() / ("mvplay_test_" + std::to_string(::getpid()));
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override { fs::remove_all(dir); }

    std::string path(const char *name) const { return (dir / name).string(); }

    Outcome run(const std::string &arguments) const
    {
        const std::string errors = path("stderr.txt");
        const std::string command =
            std::string(MVPLAY_PATH) + " " + arguments + " >/dev/null 2>" + errors;
        const int status = std::system(command.c_str());
        std::string text;
        if (FILE *file = std::fopen(errors.c_str(), "r")) {
            char buffer[512];
            while (size_t n = std::fread(buffer, 1, sizeof buffer, file)) text.append(buffer, n);
            std::fclose(file);
        }
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
    }

    void writeInt16(const std::string &name, int rate, int channels,
                    const std::vector<short> &samples) const
    {
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE *file = sf_open(name.c_str(), SFM_WRITE, &info);
        ASSERT_NE(file, nullptr);
        sf_write_short(file, samples.data(), sf_count_t(samples.size()));
        sf_close(file);
    }

    std::vector<float> readFloat(const std::string &name, SF_INFO &info) const
    {
        SNDFILE *file = sf_open(name.c_str(), SFM_READ, &info);
        EXPECT_NE(file, nullptr) << name;
        if (!file) return {};
        std::vector<float> samples(size_t(info.frames) * info.channels);
        sf_readf_float(file, samples.data(), info.frames);
        sf_close(file);
        return samples;
    }
};

std::vector<short> ramp(int count, int step)
{
    std::vector<short> samples(count);
    for (int i = 0; i < count; ++i) samples[i] = short((i * step) % 30000 - 15000);
    return samples;
}

TEST_F(Mvplay, RendersTwoFilesBackToBackSampleForSample)
{
    const std::vector<short> first = ramp(3000, 7), second = ramp(2000, 13);
    writeInt16(path("a.wav"), 48000, 1, first);
    writeInt16(path("b.wav"), 48000, 1, second);
    const Outcome result = run("--mono --render " + path("out.wav") + " " + path("a.wav") + " " +
                           path("b.wav"));
    ASSERT_EQ(result.status, 0) << result.errors;
    SF_INFO info{};
    const std::vector<float> out = readFloat(path("out.wav"), info);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.samplerate, 48000);
    EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_FLOAT);
    ASSERT_EQ(out.size(), 5000u);
    for (int i = 0; i < 5000; ++i) {
        const short expected = i < 3000 ? first[i] : second[i - 3000];
        ASSERT_EQ(out[i], expected / 32768.0f) << "frame " << i;
    }
}

TEST_F(Mvplay, RendersAMonoFileToBothSidesWithGainInTheChosenFormat)
{
    writeInt16(path("a.wav"), 48000, 1, ramp(1000, 11));
    const Outcome result = run("--gain -6.0206 --format int16 --no-dither --render " + path("out.wav") + " " +
                           path("a.wav"));
    ASSERT_EQ(result.status, 0) << result.errors;
    SF_INFO info{};
    const std::vector<float> out = readFloat(path("out.wav"), info);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_PCM_16);
    const std::vector<short> in = ramp(1000, 11);
    ASSERT_EQ(out.size(), 2000u);
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(out[2 * i], out[2 * i + 1]);
        EXPECT_NEAR(out[2 * i], in[i] / 65536.0f, 2.0 / 32768) << "frame " << i;
    }
}

TEST_F(Mvplay, ResamplesToTheRequestedRate)
{
    writeInt16(path("a.wav"), 24000, 1, std::vector<short>(2400, 8192));
    const Outcome result = run("--mono --sample-rate 48000 --render " + path("out.wav") + " " +
                           path("a.wav"));
    ASSERT_EQ(result.status, 0) << result.errors;
    SF_INFO info{};
    const std::vector<float> out = readFloat(path("out.wav"), info);
    ASSERT_EQ(out.size(), 4800u);
    EXPECT_EQ(out[100], 0.25f);
}

TEST_F(Mvplay, RunsADspProgramOnTheMixerAndReportsItsFailure)
{
    writeInt16(path("a.wav"), 48000, 2, ramp(2000, 11));
    const std::string examples = MV_DSP_EXAMPLES_DIR;
    ASSERT_EQ(run("--render " + path("plain.wav") + " " + path("a.wav")).status, 0);
    const Outcome halved = run("--dsp " + examples + "/gain.mvs --dsp-message 0.5 --render " +
                               path("halved.wav") + " " + path("a.wav"));
    ASSERT_EQ(halved.status, 0) << halved.errors;
    SF_INFO info{};
    const std::vector<float> plain = readFloat(path("plain.wav"), info);
    const std::vector<float> out = readFloat(path("halved.wav"), info);
    ASSERT_EQ(out.size(), plain.size());
    for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], plain[i] * 0.5f) << "sample " << i;

    const Outcome failed = run("--dsp " + examples + "/fail.mvs --render " + path("failed.wav") +
                               " " + path("a.wav"));
    EXPECT_EQ(failed.status, 0);
    EXPECT_NE(failed.errors.find("failed in the Main Routine"), std::string::npos) << failed.errors;
    EXPECT_NE(failed.errors.find("trace: 0x0027 0x0021 0x0016"), std::string::npos);

    const Outcome badWord = run("--dsp " + examples + "/gain.mvs --dsp-message 0.5,loud " +
                                path("a.wav"));
    EXPECT_NE(badWord.status, 0);
    EXPECT_NE(badWord.errors.find("bad DSP message word: 'loud'"), std::string::npos);
}

TEST_F(Mvplay, RejectsBadOptionsAndUnreadableFilesWithAMessage)
{
    writeInt16(path("a.wav"), 48000, 1, ramp(100, 1));
    const Outcome unknown = run("--bogus " + path("a.wav"));
    EXPECT_NE(unknown.status, 0);
    EXPECT_NE(unknown.errors.find("unknown option: --bogus"), std::string::npos);

    const Outcome badGain = run("--gain loud " + path("a.wav"));
    EXPECT_NE(badGain.status, 0);
    EXPECT_NE(badGain.errors.find("bad value for --gain"), std::string::npos);

    const Outcome badFormat = run("--format int12 --render x.wav " + path("a.wav"));
    EXPECT_NE(badFormat.errors.find("unknown sample format"), std::string::npos);

    const Outcome missing = run("--render " + path("out.wav") + " " + path("missing.wav"));
    EXPECT_NE(missing.status, 0);
    EXPECT_NE(missing.errors.find("missing.wav"), std::string::npos);

    std::FILE *junk = std::fopen(path("junk.wav").c_str(), "w");
    std::fputs("not a sound file", junk);
    std::fclose(junk);
    const Outcome unreadable = run("--render " + path("out.wav") + " " + path("junk.wav"));
    EXPECT_NE(unreadable.status, 0);
    EXPECT_NE(unreadable.errors.find("junk.wav"), std::string::npos);

    EXPECT_NE(run("").status, 0);
}

} // namespace
