// Shared helpers of the settings tests: temporary directories, the settings file as the
// program leaves it, and runs of the start-up probe in a fresh process.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace settings_test {

// A temporary directory, removed with everything in it at the end of the scope (at the latest
// when the program ends, however it ends).
struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

std::string build_root();
std::string source_root();
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);

// The settings file as a key file; nullopt when it is missing, is not a regular file or does
// not parse.
struct settings_file {
    std::vector<std::string> groups;
    std::optional<std::string> lang;
    std::optional<bool> show_dev_options;
    size_t n_keys = 0;
};
std::optional<settings_file> read_settings(const std::string &path);

// Device and inode of a file: equal before and after means it was not replaced.
struct file_identity {
    unsigned long long dev = 0, ino = 0;
    bool operator==(const file_identity &) const = default;
};
std::optional<file_identity> identity(const std::string &path);

struct probe_result {
    int exit_status = -1;
    std::map<std::string, std::string> value;
    std::string output;        // standard output and standard error
    int config_messages = 0;   // how many "Config file: " lines were logged
};

// Runs `exe` (the probe unless given) in `cwd` with exactly the variables in `env`.
probe_result run_probe(const std::vector<std::string> &env, const std::string &cwd,
                       const std::string &exe = "");

std::string probe_path();

}  // namespace settings_test
