#pragma once

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

// The throwaway MariaDB server that ctest starts for the tests
// (scripts/mariadb-test-server.sh): host, port, user, password, database.
inline std::map<std::string, std::string> TestDatabaseConnection()
{
    std::map<std::string, std::string> values;
    const char* file = std::getenv("VEXAL_TEST_MYSQL");
    if (!file)
        return values;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line))
        if (const auto eq = line.find('='); eq != std::string::npos)
            values[line.substr(0, eq)] = line.substr(eq + 1);
    return values;
}
