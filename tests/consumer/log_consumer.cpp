// SPDX-License-Identifier: MIT
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <tarn/utils/log/logger.hpp>

int main() {
    char dirTemplate[] = "/tmp/tarn-log-consumer-XXXXXX";
    if (::mkdtemp(dirTemplate) == nullptr) return 1;
    const std::filesystem::path dir(dirTemplate);
    const std::string path = (dir / "app.log").string();

    int result = 0;
    {
        tarn::utils::log::Logger logger("consumer");
        logger.SetLogDestination(path);
        if (logger.LogDestination() != path) result = 2;
        SPDLOG_LOGGER_ERROR(&logger.RawLogger(), "Path blocked\n");
    }
    std::ifstream in(path);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (result == 0 && (text.find("[error] [log_consumer.cpp:") == std::string::npos ||
                        text.find("] Path blocked\n") == std::string::npos))
        result = 3;
    std::filesystem::remove_all(dir);
    if (result == 0) std::puts("log consumer: ok");
    return result;
}
