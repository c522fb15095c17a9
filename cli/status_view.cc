// The status view of the console: the lines that follow the counters in
// the reply to "status" (uptime, the connected clients, the mount list),
// read from vorlix_status_json, and the small JSON reading it needs.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli.h"

// Reads a JSON string literal that starts at s[i] (the opening quote) as the
// export listing writes it; false when it is malformed.
bool json_string_at(const std::string& s, size_t i, std::string* out) {
  if (i >= s.size() || s[i] != '"') return false;
  out->clear();
  for (i++; i < s.size(); i++) {
    char c = s[i];
    if (c == '"') return true;
    if (c != '\\') {
      out->push_back(c);
      continue;
    }
    if (++i >= s.size()) return false;
    switch (s[i]) {
      case 'n': out->push_back('\n'); break;
      case 'r': out->push_back('\r'); break;
      case 't': out->push_back('\t'); break;
      case 'b': out->push_back('\b'); break;
      case 'f': out->push_back('\f'); break;
      case 'u':
        if (i + 4 >= s.size()) return false;
        out->push_back(static_cast<char>(strtol(s.substr(i + 1, 4).c_str(), nullptr, 16)));
        i += 4;
        break;
      default: out->push_back(s[i]);
    }
  }
  return false;
}

// The value of a string member of an export's JSON text.
std::string json_quote(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

bool json_member(const std::string& json, const char* key, std::string* out) {
  const std::string k = std::string("\"") + key + "\":";
  const size_t at = json.find(k);
  return at != std::string::npos && json_string_at(json, at + k.size(), out);
}

namespace {

// The objects of the array member key, each as its text; strings are
// skipped whole, so braces inside them do not count.
std::vector<std::string> json_objects(const std::string& json, const char* key) {
  std::vector<std::string> out;
  const std::string k = std::string("\"") + key + "\":[";
  size_t i = json.find(k);
  if (i == std::string::npos) return out;
  int depth = 0;
  size_t start = 0;
  bool in_string = false;
  for (i += k.size(); i < json.size(); i++) {
    const char c = json[i];
    if (in_string) {
      if (c == '\\') {
        i++;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '{') {
      if (depth++ == 0) start = i;
    } else if (c == '}') {
      if (--depth == 0) out.push_back(json.substr(start, i - start + 1));
    } else if (c == ']' && depth == 0) {
      break;
    }
  }
  return out;
}

// The whole number of a member, as text ("0" when missing).
std::string json_number(const std::string& json, const char* key) {
  const std::string k = std::string("\"") + key + "\":";
  const size_t at = json.find(k);
  if (at == std::string::npos) return "0";
  const size_t from = at + k.size();
  const size_t end = json.find_first_not_of("-0123456789", from);
  return json.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

// The strings of an array member, comma-separated.
std::string json_string_list(const std::string& json, const char* key) {
  const std::string k = std::string("\"") + key + "\":[";
  size_t at = json.find(k);
  if (at == std::string::npos) return "";
  at += k.size();
  std::string list;
  std::string item;
  while (at < json.size() && json[at] == '"' && json_string_at(json, at, &item)) {
    list += (list.empty() ? "" : ",") + item;
    // Past the string just read: its closing quote, then "," or "]".
    size_t i = at + 1;
    while (i < json.size() && json[i] != '"') i += json[i] == '\\' ? 2 : 1;
    at = i + 1;
    if (at < json.size() && json[at] == ',') at++;
  }
  return list;
}

// A value as the status lines write it: quoted when it holds a blank.
std::string shown(const std::string& v) {
  if (!v.empty() && v.find_first_of(" \t\"") == std::string::npos) return v;
  std::string q = "\"";
  for (char c : v) {
    if (c == '"' || c == '\\') q += '\\';
    q += c;
  }
  return q + "\"";
}

}  // namespace

void status_view(const std::string& json, std::string* out) {
  const long long up = atoll(json_number(json, "uptime_s").c_str());
  const std::vector<std::string> clients = json_objects(json, "clients");
  const std::vector<std::string> mounts = json_objects(json, "mounts");
  // The first line says how many lines follow, so that a controller knows
  // where the reply ends.
  char uptime[160];
  snprintf(uptime, sizeof uptime, "uptime %llds (%lldd %02lldh %02lldm %02llds) clients=%zu mounts=%zu\n", up, up / 86400,
           up / 3600 % 24, up / 60 % 60, up % 60, clients.size(), mounts.size());
  *out += uptime;
  for (const std::string& c : clients) {
    std::string address, last, reading;
    json_member(c, "address", &address);
    json_member(c, "last_call", &last);
    json_member(c, "reading", &reading);
    const std::string exports = json_string_list(c, "exports");
    *out += "client " + address + " connections=" + json_number(c, "connections") +
            " exports=" + (exports.empty() ? "-" : shown(exports)) + " calls=" + json_number(c, "calls") +
            " bytes_read=" + json_number(c, "bytes_read") + " last_call=" + last +
            " reading=" + (reading.empty() ? "-" : shown(reading)) + "\n";
  }
  for (const std::string& m : mounts) {
    std::string client, path, since;
    json_member(m, "client", &client);
    json_member(m, "export", &path);
    json_member(m, "since", &since);
    *out += "mount " + client + " " + shown(path) + " since=" + since + "\n";
  }
}
