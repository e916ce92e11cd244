#pragma once

#include <fstream>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

namespace qel_test {

// Reads tests/data/<name> as JSON.
inline nlohmann::json load_vectors(const std::string& name) {
    std::ifstream in(std::string(QEL_TEST_DATA_DIR) + "/" + name);
    std::stringstream text;
    text << in.rdbuf();
    return nlohmann::json::parse(text.str());
}

}  // namespace qel_test
