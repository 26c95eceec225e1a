// SPDX-License-Identifier: MIT
#include <cstdio>
#include <string>

#include <tarn/utils/env.hpp>

int main() {
    if (!tarn::utils::setenv("TARN_CONSUMER", "ok")) return 1;
    std::string value;
    if (!tarn::utils::env("TARN_CONSUMER", value) || value != "ok") return 2;
    if (tarn::utils::printenv().find("TARN_CONSUMER=ok\n") == std::string::npos) return 3;
    std::puts("env consumer: ok");
    return 0;
}
