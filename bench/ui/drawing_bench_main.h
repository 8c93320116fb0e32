// The main function of the benchmark programs that draw: the widgets are real and
// painted off screen, with the application's font.
#pragma once

#include <benchmark/benchmark.h>

#include <QApplication>
#include <functional>

#include "ui/drawing_kit.h"

namespace pellox::bench {

// Sets the platform up, then `run` (which runs the benchmarks, and may make and
// destroy around them what they share while the application object exists).
inline int RunDrawingBenchmarks(int argc, char** argv, const std::function<void()>& run) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    QApplication application(argc, argv);
    QApplication::setFont(ui::ApplicationFont());
    run();
    benchmark::Shutdown();
    return 0;
}

}  // namespace pellox::bench
