// The command-line front end: command dispatch, usage text and exit codes,
// the diagnostic and handle commands, the serve command with its console,
// and the service command. Uses only the exported control functions and,
// for the service, the platform layer. Runs on the main thread.
#pragma once

#include <cstddef>
#include <string>

// Runs the program's command line; returns the exit code.
int cli_main(int argc, char** argv);
// Prints the usage text on standard error; returns 2.
int usage();
// Runs `serve` with the arguments after it; returns the exit code.
int cmd_serve(int argc, char** argv);
// Reads the options of `serve` without acting on them: 0 when they are
// valid (*has_secret set when --secret is among them), else the exit code
// after the usage text was printed.
int serve_check_opts(int argc, char** argv, int* has_secret);
// The secret in the first line of the file (its line end dropped); false
// when the file cannot be read.
bool read_secret_file(const char* path, std::string* secret);
// The rule an export path breaks, in words, or "" when it keeps them all.
std::string serve_export_path_rule(const std::string& path);
// Checks the text of a configuration file (named path in messages) as
// `serve --config` would read it: 0, or -1 with *why saying in words what
// is wrong and on which line.
int serve_check_config(const std::string& text, const std::string& path, std::string* why);
// Opens the status channel at name (plat_channel_listen) and answers it
// from a thread of its own until status_channel_stop: 0, or -1 with *why.
int status_channel_start(const std::string& name, std::string* why);
void status_channel_stop();
// The host's log callback that the status channel passes each event line on
// to while it keeps the recent ones (the service's log file and event log).
void status_channel_forward_log(void (*fn)(int level, const char* line, void* user));
// Asks the status channel at name for the status JSON: 0 with *reply, or
// -1 with *why saying what went wrong.
int status_channel_ask(const std::string& name, std::string* reply, std::string* why);
// Runs `admin` with the arguments after it: the settings page.
int cmd_admin(int argc, char** argv);
// The name of the installed service (Windows service, systemd unit).
constexpr char kServiceName[] = "tarvelin-quillmoor-nfs-v3-file-server";
// Makes a running cmd_serve stop as on "quit"; may be called from any thread.
void serve_request_stop();
// Makes a running cmd_serve read its configuration file again, as on
// "reload"; may be called from any thread.
void serve_request_reload();
// Runs `service` with the arguments after it (install, remove, run); the
// system service form of `serve`.
int cmd_service(int argc, char** argv);
// Carries out one console line (its trailing newline, carriage return and
// space characters removed here) and appends the reply to *out. Returns 1
// for "quit", else 0.
int console_line(const std::string& line, std::string* out);
// Appends the export listing to *out.
void print_exports(std::string* out);
// Appends the status lines that follow the counters, read from the status
// JSON text: "uptime Ns (...) clients=C mounts=M", then C lines "client
// ADDRESS connections=.. exports=.. calls=.. bytes_read=.. last_call=..
// reading=.." and M lines "mount ADDRESS PATH since=..".
void status_view(const std::string& json, std::string* out);
// Reads a JSON string literal that starts at s[i] (the opening quote) as
// the library writes it; false when it is malformed.
bool json_string_at(const std::string& s, size_t i, std::string* out);
// s as a JSON string literal.
std::string json_quote(const std::string& s);
// The value of a string member of a flat JSON object's text.
bool json_member(const std::string& json, const char* key, std::string* out);
