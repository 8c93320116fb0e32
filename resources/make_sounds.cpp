// Writes the application's sounds as WAV files (PCM, 16-bit, mono, 22050 Hz) into
// the directory given as the first argument:
//   alarm2.wav   the new-message alert: two rising bell-like tones;
//   default.wav  the short click-and-chirp played when a message is sent.
// The sounds are synthesised here, so the build needs no sound files.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 22050;

// One partial of a tone: frequency ratio to the tone's pitch and its weight.
struct Partial {
    double ratio;
    double weight;
};

// Adds a struck tone at `start` seconds: a few partials under a fast attack and an
// exponential decay.
void AddTone(std::vector<double>& samples, double start, double seconds, double pitch,
             double decayPerSecond, const std::vector<Partial>& partials, double gain) {
    const auto first = static_cast<std::size_t>(start * kRate);
    const auto count = static_cast<std::size_t>(seconds * kRate);
    if (samples.size() < first + count) samples.resize(first + count, 0.0);
    const double attack = 0.004 * kRate;
    for (std::size_t i = 0; i < count; ++i) {
        const double t = double(i) / kRate;
        double value = 0.0;
        for (const Partial& p : partials) {
            value += p.weight * std::sin(2.0 * std::numbers::pi * pitch * p.ratio * t);
        }
        const double envelope = std::min(1.0, double(i) / attack) * std::exp(-decayPerSecond * t);
        // The last 10 ms fade out, so the sound ends without a click.
        const double tail = std::min(1.0, double(count - i) / (0.010 * kRate));
        samples[first + i] += gain * envelope * tail * value;
    }
}

// A sweep from pitch f0 to f1 with a soft envelope.
void AddChirp(std::vector<double>& samples, double start, double seconds, double f0, double f1,
              double gain) {
    const auto first = static_cast<std::size_t>(start * kRate);
    const auto count = static_cast<std::size_t>(seconds * kRate);
    if (samples.size() < first + count) samples.resize(first + count, 0.0);
    double phase = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double x = double(i) / double(count);
        const double f = f0 + (f1 - f0) * x;
        phase += 2.0 * std::numbers::pi * f / kRate;
        const double envelope = std::sin(std::numbers::pi * x);  // rises and falls once
        samples[first + i] += gain * envelope * envelope * std::sin(phase);
    }
}

void PutLe(std::string& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(char((value >> (8 * i)) & 0xFF));
}

std::string WaveFile(const std::vector<double>& samples) {
    const auto dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
    std::string out;
    out += "RIFF";
    PutLe(out, 36 + dataBytes, 4);
    out += "WAVEfmt ";
    PutLe(out, 16, 4);         // format chunk size
    PutLe(out, 1, 2);          // PCM
    PutLe(out, 1, 2);          // mono
    PutLe(out, kRate, 4);      // sample rate
    PutLe(out, kRate * 2, 4);  // byte rate
    PutLe(out, 2, 2);          // block align
    PutLe(out, 16, 2);         // bits per sample
    out += "data";
    PutLe(out, dataBytes, 4);
    for (double s : samples) {
        const double clipped = std::max(-1.0, std::min(1.0, s));
        const auto value = static_cast<std::int16_t>(std::lround(clipped * 32767.0));
        PutLe(out, static_cast<std::uint16_t>(value), 2);
    }
    return out;
}

bool Write(const std::string& path, const std::vector<double>& samples) {
    const std::string bytes = WaveFile(samples);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output directory>\n", argv[0]);
        return 2;
    }
    const std::string dir = std::string(argv[1]) + "/";
    const std::vector<Partial> bell{{1.0, 1.0}, {2.0, 0.35}, {3.01, 0.12}};

    std::vector<double> alarm;
    AddTone(alarm, 0.00, 0.45, 784.0, 7.0, bell, 0.45);   // G5
    AddTone(alarm, 0.16, 0.60, 1175.0, 6.0, bell, 0.40);  // D6

    std::vector<double> send;
    AddTone(send, 0.00, 0.03, 2400.0, 90.0, {{1.0, 1.0}}, 0.25);
    AddChirp(send, 0.02, 0.10, 900.0, 1600.0, 0.35);

    if (!Write(dir + "alarm2.wav", alarm) || !Write(dir + "default.wav", send)) {
        std::fprintf(stderr, "cannot write the sounds into %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
