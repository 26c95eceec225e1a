#include <cstdio>
#include <memory>

#include <spdlog/logger.h>

#include <tarn/utils/log/split_console_sink.hpp>

int main() {
    auto sink = std::make_shared<tarn::utils::log::SplitConsoleSink>();
    sink->set_pattern("log consumer: %l %v");
    spdlog::logger logger("consumer", sink);
    logger.error("shown on standard error");
    std::puts("log consumer: ok");
    return 0;
}
