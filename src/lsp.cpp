#include "lsp.h"

#include "lsp_text.h"
#include "platform.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

using json = nlohmann::json;

namespace {

// JSON-RPC's and the protocol's error codes.
constexpr int parse_error = -32700;
constexpr int invalid_request = -32600;
constexpr int method_not_found = -32601;
constexpr int invalid_params = -32602;
constexpr int not_initialized = -32002;

// A message's header, and its body, at the most: a 64 MiB document comes
// in a body of up to six times its size once escaped.
constexpr std::size_t most_header = 1 << 16;
constexpr std::size_t most_body = std::size_t{1} << 30;

// Reads the protocol's messages: headers, a blank line, Content-Length
// bytes of body.  A header block without a usable length is dropped, and
// reading goes on at the next line that names one, so that no malformed
// message ends the session.
class reader {
  public:
    explicit reader(lsp_stream& in) : io(in) {}

    // The next body, body[0, length), which lives until the next call;
    // false at the end of the input.  A body too large for the memory left
    // is read past, and the next one taken.
    bool next(const char*& body, std::size_t& length) {
        for (;;) {
            bool known = false;
            bool blank = false;
            std::string line;
            while (!blank && next_line(line)) {
                blank = line.empty();
                known = length_of(line, length) || known;
            }
            if (!blank)
                return false;
            if (!known)
                continue;
            if (!room(length)) {
                dropped = length;
                if (!skip(length))
                    return false;
                continue;
            }
            if (!fill(length))
                return false;
            body = buf.data() + at;
            at += length;
            return true;
        }
    }

    // The length of a body last read past, once; 0 for none.
    std::size_t dropped = 0;

    // Whether a whole message or more is already here or on its way.
    bool waiting() {
        return at < buf.size() || io.waiting();
    }

  private:
    // The next header line, its CR LF or LF dropped; false at the end.
    bool next_line(std::string& line) {
        line.clear();
        for (;;) {
            const std::size_t nl = buf.find('\n', at);
            if (nl != std::string::npos) {
                line.assign(buf, at, std::min(nl - at, most_header));
                at = nl + 1;
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                return true;
            }
            // A line past the bound is cut; its rest is read as lines of
            // its own, none of which names a length.
            if (buf.size() - at > most_header)
                at = buf.size();
            if (!more())
                return false;
        }
    }

    static bool length_of(const std::string& line, std::size_t& length) {
        static constexpr char name[] = "content-length:";
        constexpr std::size_t n = sizeof name - 1;
        std::size_t i = 0;
        for (; i + n <= line.size(); ++i) {
            bool same = true;
            for (std::size_t k = 0; k < n && same; ++k)
                same = static_cast<char>(std::tolower(static_cast<unsigned char>(line[i + k]))) ==
                       name[k];
            if (same)
                break;
        }
        if (i + n > line.size())
            return false;
        i += n;
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        std::size_t value = 0;
        const std::size_t first = i;
        for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
            value = value * 10 + static_cast<std::size_t>(line[i] - '0');
            if (value > most_body)
                return false;
        }
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        if (i == first || i != line.size())
            return false;
        length = value;
        return true;
    }

    // Room for a body of n bytes, made once rather than by doubling: a
    // 64 MiB document fits in a 32-bit process.
    bool room(std::size_t n) {
        if (buf.capacity() - at >= n + chunk)
            return true;
        buf.erase(0, at);
        at = 0;
        try {
            buf.reserve(n + chunk);
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }

    // Reads past n bytes of body; false where the input ends first.
    bool skip(std::size_t n) {
        for (;;) {
            const std::size_t here = std::min(n, buf.size() - at);
            at += here;
            n -= here;
            if (n == 0)
                return true;
            if (!more())
                return false;
        }
    }

    // Until n bytes of body are here; false where the input ends first.
    bool fill(std::size_t n) {
        while (buf.size() - at < n)
            if (!more())
                return false;
        return true;
    }

    bool more() {
        if (ended)
            return false;
        // What has been read is dropped before the buffer grows.
        if (at > 0) {
            buf.erase(0, at);
            at = 0;
            // A large document's message is not kept for good.
            if (buf.capacity() > (std::size_t{1} << 22) && buf.size() < chunk)
                buf.shrink_to_fit();
        }
        const std::size_t old = buf.size();
        buf.resize(old + chunk);
        const std::size_t got = io.read(buf.data() + old, chunk);
        buf.resize(old + got);
        ended = got == 0;
        return !ended;
    }

    static constexpr std::size_t chunk = 1 << 16;
    lsp_stream& io;
    std::string buf;
    std::size_t at = 0;
    bool ended = false;
};

// The offset of a protocol position in d.
std::size_t offset_of(const document& d, const json& position) {
    return d.offset_of(position.at("line").get<std::size_t>(),
                       position.at("character").get<std::size_t>());
}

json position_json(const document& d, std::size_t offset, bool after) {
    const place at = d.place_of(offset, after);
    return {{"line", at.line}, {"character", at.character}};
}

json range_json(const document& d, std::size_t from, std::size_t to) {
    return {{"start", position_json(d, from, false)}, {"end", position_json(d, to, true)}};
}

// j's member at the end of a path of keys, or null where there is none.
const json& member(const json& j, std::initializer_list<const char*> keys) {
    static const json none;
    const json* at = &j;
    for (const char* key : keys) {
        if (!at->is_object())
            return none;
        const auto it = at->find(key);
        if (it == at->end())
            return none;
        at = &*it;
    }
    return *at;
}

struct settings {
    bool fail_on_rejected = false;
    bool fail_on_long_lines = false;
};

// Read under a "viderav" section, or at the top level, as some clients
// send only the section's contents.
void read_settings(const json& j, settings& s) {
    if (!j.is_object())
        return;
    const auto section = j.find("viderav");
    const json& v = section != j.end() && section->is_object() ? *section : j;
    for (const auto& [key, field] : {std::pair{"failOnRejected", &settings::fail_on_rejected},
                                     std::pair{"failOnLongLines", &settings::fail_on_long_lines}}) {
        const auto it = v.find(key);
        if (it != v.end() && it->is_boolean())
            s.*field = it->get<bool>();
    }
}

class server {
  public:
    server(lsp_stream& stream, const char* version) : io(stream), in(stream), ver(version) {
        utf8_positions = false;
        nowhere = std::fopen(null_device, "wb");
        if (nowhere != nullptr)
            std::setvbuf(nowhere, nullptr, _IONBF, 0);
    }
    server(const server&) = delete;
    server& operator=(const server&) = delete;
    ~server() {
        if (nowhere != nullptr)
            std::fclose(nowhere);
    }

    int run() {
        const char* body = nullptr;
        std::size_t length = 0;
        for (;;) {
            // Diagnostics for the last state only: a burst of changes is
            // read whole before any of it is checked.
            if (!dirty.empty() && !in.waiting()) {
                publish_dirty();
                continue;
            }
            const bool more = in.next(body, length);
            if (in.dropped > 0)
                too_large(std::exchange(in.dropped, 0));
            if (!more)
                return down ? 0 : 1;
            try {
                handle(body, length);
            } catch (const std::bad_alloc&) {
                too_large(length);
            }
            if (exiting)
                return down ? 0 : 1;
        }
    }

  private:
    void send(const json& message) {
        send_body(message.dump(-1, ' ', false, json::error_handler_t::replace));
    }

    void send_body(const std::string& body) {
        char head[64];
        const int n = std::snprintf(head, sizeof head, "Content-Length: %zu\r\n\r\n", body.size());
        std::string whole(head, static_cast<std::size_t>(n));
        whole += body;
        io.write(whole.data(), whole.size());
    }

    // A message the memory left cannot hold is dropped, and the writer
    // told: a document it opened is not checked.
    void too_large(std::size_t length) {
        send({{"jsonrpc", "2.0"},
              {"method", "window/showMessage"},
              {"params",
               {{"type", 1},
                {"message", "viderav: a message of " + std::to_string(length) +
                                " bytes is too large for the memory left; a text it opens or "
                                "changes is not checked"}}}});
    }

    void reply(const json& id, json result) {
        send({{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}});
    }

    void fail(const json& id, int code, const char* why) {
        send({{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", why}}}});
    }

    void handle(const char* body, std::size_t length) {
        json message = json::parse(body, body + length, nullptr, false);
        if (message.is_discarded() || !message.is_object()) {
            fail(nullptr, message.is_discarded() ? parse_error : invalid_request,
                 message.is_discarded() ? "the message is not JSON" : "not a JSON-RPC message");
            return;
        }
        const auto method = message.find("method");
        const auto id = message.find("id");
        const bool request = id != message.end();
        if (method == message.end() || !method->is_string()) {
            // A response to one of the server's requests, or nonsense.
            if (request && message.find("result") == message.end() &&
                message.find("error") == message.end())
                fail(*id, invalid_request, "a request without a method");
            return;
        }
        const auto& name = method->get_ref<const std::string&>();
        const auto params = message.find("params");
        json none = json::object();
        json& p = params != message.end() ? *params : none;
        try {
            if (request)
                answer(*id, name, p);
            else
                notice(name, p);
        } catch (const std::exception& e) {
            if (request)
                fail(*id, invalid_params, e.what());
        }
    }

    void answer(const json& id, const std::string& method, const json& p) {
        if (method == "initialize") {
            start(id, p);
        } else if (!begun) {
            fail(id, not_initialized, "initialize comes first");
        } else if (down) {
            fail(id, invalid_request, "the server is shut down");
        } else if (method == "shutdown") {
            down = true;
            reply(id, nullptr);
        } else if (method == "textDocument/diagnostic") {
            pull(id, p);
        } else if (method == "textDocument/hover") {
            hover(id, p);
        } else if (method == "textDocument/codeAction") {
            actions(id, p);
        } else {
            fail(id, method_not_found, "no such method");
        }
    }

    void notice(const std::string& method, json& p) {
        if (method == "exit") {
            exiting = true;
            return;
        }
        if (!begun)
            return;
        if (method == "textDocument/didOpen")
            open(p.at("textDocument"));
        else if (method == "textDocument/didChange")
            change(p.at("textDocument"), p.at("contentChanges"));
        else if (method == "textDocument/didClose")
            close(p.at("textDocument").at("uri").get<std::string>());
        else if (method == "workspace/didChangeConfiguration")
            configure(member(p, {"settings"}));
    }

    void start(const json& id, const json& p) {
        if (begun) {
            fail(id, invalid_request, "initialize comes once");
            return;
        }
        begun = true;
        const json& encodings = member(p, {"capabilities", "general", "positionEncodings"});
        utf8_positions = encodings.is_array() &&
                         std::find(encodings.begin(), encodings.end(), "utf-8") != encodings.end();
        pulling = !member(p, {"capabilities", "textDocument", "diagnostic"}).is_null();
        refreshing =
            member(p, {"capabilities", "workspace", "diagnostics", "refreshSupport"}) == true;
        read_settings(member(p, {"initializationOptions"}), options);
        reply(
            id,
            {{"capabilities",
              {{"positionEncoding", utf8_positions ? "utf-8" : "utf-16"},
               {"textDocumentSync", {{"openClose", true}, {"change", 2}}},
               {"hoverProvider", true},
               {"codeActionProvider", {{"codeActionKinds", {"quickfix", "source.fixAll.viderav"}}}},
               {"diagnosticProvider",
                {{"identifier", "viderav"},
                 {"interFileDependencies", false},
                 {"workspaceDiagnostics", false}}}}},
             {"serverInfo", {{"name", "viderav-build"}, {"version", ver}}}});
    }

    void open(json& item) {
        const auto uri = item.at("uri").get<std::string>();
        auto& text = item.at("text").get_ref<std::string&>();
        document& d = docs[uri];
        d.text = std::move(text);
        d.version = item.contains("version") ? item["version"].dump() : "";
        d.index();
        ++d.changes;
        if (!pulling)
            dirty.insert(uri);
    }

    void change(const json& item, json& changes) {
        const auto uri = item.at("uri").get<std::string>();
        const auto found = docs.find(uri);
        if (found == docs.end())
            return;
        document& d = found->second;
        for (json& c : changes) {
            auto& text = c.at("text").get_ref<std::string&>();
            if (!c.contains("range")) {
                d.text = std::move(text);
            } else {
                const json& range = c["range"];
                const std::size_t from = offset_of(d, range.at("start"));
                const std::size_t to = std::max(from, offset_of(d, range.at("end")));
                d.text.replace(from, to - from, text);
            }
            d.index();
        }
        d.version = item.contains("version") ? item["version"].dump() : "";
        ++d.changes;
        if (!pulling)
            dirty.insert(uri);
    }

    void close(const std::string& uri) {
        docs.erase(uri);
        dirty.erase(uri);
        if (!pulling)
            send({{"jsonrpc", "2.0"},
                  {"method", "textDocument/publishDiagnostics"},
                  {"params", {{"uri", uri}, {"diagnostics", json::array()}}}});
    }

    void configure(const json& settings_sent) {
        read_settings(settings_sent, options);
        ++generation;
        if (pulling && refreshing)
            send({{"jsonrpc", "2.0"},
                  {"id", "refresh-" + std::to_string(generation)},
                  {"method", "workspace/diagnostic/refresh"}});
        for (const auto& [uri, d] : docs)
            if (!pulling)
                dirty.insert(uri);
    }

    // What the encoder and the watch find in d, kept until it or the
    // settings change.
    const std::vector<item>& found(document& d) {
        const unsigned long long key = d.changes + (generation << 40);
        if (d.found_for != key) {
            d.found = find_in(d, options.fail_on_rejected, options.fail_on_long_lines, nowhere);
            d.found_for = key;
        }
        return d.found;
    }

    // A finding as the protocol's diagnostic, written as text: a document
    // holds up to two thousand of them, and a writer types on while they
    // are made.
    static void put_diagnostic(std::string& to, const document& d, const item& f) {
        const place a = d.place_of(f.from, false);
        const place b = d.place_of(f.to, true);
        char head[256];
        const int n = std::snprintf(
            head, sizeof head,
            R"({"range":{"start":{"line":%zu,"character":%zu},"end":{"line":%zu,)"
            R"("character":%zu}},"severity":%d,"code":"VR%d","source":"viderav","message":)",
            a.line, a.character, b.line, b.character, f.error ? 1 : 2, static_cast<int>(f.code));
        to.append(head, static_cast<std::size_t>(n));
        to += json(f.message).dump(-1, ' ', false, json::error_handler_t::replace);
        to += '}';
    }

    std::string diagnostics(document& d) {
        std::string items = "[";
        for (const item& f : found(d)) {
            if (items.size() > 1)
                items += ',';
            put_diagnostic(items, d, f);
        }
        items += ']';
        return items;
    }

    void hover(const json& id, const json& p) {
        const auto found_doc = docs.find(p.at("textDocument").at("uri").get<std::string>());
        if (found_doc == docs.end()) {
            reply(id, nullptr);
            return;
        }
        const document& d = found_doc->second;
        const std::size_t at = offset_of(d, p.at("position"));
        reply(id, {{"contents", {{"kind", "plaintext"}, {"value", describe(d, at)}}}});
    }

    // Quick fixes for the findings in the range, from the server's own copy
    // of the text, never from the diagnostics the editor sends back; and
    // fix-all where it is asked for.
    void actions(const json& id, const json& p) {
        const auto uri = p.at("textDocument").at("uri").get<std::string>();
        const auto found_doc = docs.find(uri);
        if (found_doc == docs.end()) {
            reply(id, json::array());
            return;
        }
        document& d = found_doc->second;
        found(d);
        const json& range = p.at("range");
        const std::size_t from = offset_of(d, range.at("start"));
        const std::size_t to = std::max(from, offset_of(d, range.at("end")));
        // Fix-all, a source action, only where it is asked for by kind.
        const json& only = member(p, {"context", "only"});
        const auto wanted = [&](const std::string& kind) {
            if (!only.is_array())
                return kind == "quickfix";
            return std::any_of(only.begin(), only.end(), [&](const json& k) {
                const std::string& asked = k.is_string() ? k.get_ref<const std::string&>() : "";
                return kind == asked || kind.rfind(asked + ".", 0) == 0;
            });
        };
        std::vector<fix> fixes;
        if (wanted("quickfix"))
            fixes = fixes_for(d, from, to);
        if (wanted("source.fixAll.viderav")) {
            fix all = fix_all(d);
            if (!all.edits.empty())
                fixes.push_back(std::move(all));
        }
        std::string body = R"({"jsonrpc":"2.0","id":)" + id.dump() + R"(,"result":[)";
        for (const fix& f : fixes) {
            if (&f != fixes.data())
                body += ',';
            json edits = json::array();
            for (const edit& e : f.edits)
                edits.push_back({{"range", range_json(d, e.from, e.to)}, {"newText", e.with}});
            json action = {
                {"title", f.title},
                {"kind", f.all ? "source.fixAll.viderav" : "quickfix"},
                {"edit",
                 {{"documentChanges",
                   json::array({{{"textDocument",
                                  {{"uri", uri},
                                   {"version",
                                    d.version.empty() ? json(nullptr) : json::parse(d.version)}}},
                                 {"edits", std::move(edits)}}})}}}};
            if (f.preferred)
                action["isPreferred"] = true;
            std::string text = action.dump(-1, ' ', false, json::error_handler_t::replace);
            if (f.mends >= 0) {
                // The finding it mends, as its diagnostic.
                text.pop_back();
                text += R"(,"diagnostics":[)";
                put_diagnostic(text, d, d.found[static_cast<std::size_t>(f.mends)]);
                text += "]}";
            }
            body += text;
        }
        body += "]}";
        send_body(body);
    }

    void publish_dirty() {
        for (const std::string& uri : dirty) {
            document& d = docs.at(uri);
            std::string body =
                R"({"jsonrpc":"2.0","method":"textDocument/publishDiagnostics","params":{"uri":)";
            body += json(uri).dump();
            if (!d.version.empty())
                body += ",\"version\":" + d.version;
            body += ",\"diagnostics\":" + diagnostics(d) + "}}";
            send_body(body);
        }
        dirty.clear();
    }

    void pull(const json& id, const json& p) {
        const auto uri = p.at("textDocument").at("uri").get<std::string>();
        const auto open_doc = docs.find(uri);
        const std::string result =
            open_doc == docs.end()
                ? "closed"
                : std::to_string(open_doc->second.changes) + "." + std::to_string(generation);
        const auto previous = p.find("previousResultId");
        if (previous != p.end() && previous->is_string() && *previous == result) {
            reply(id, {{"kind", "unchanged"}, {"resultId", result}});
            return;
        }
        send_body(R"({"jsonrpc":"2.0","id":)" + id.dump() +
                  R"(,"result":{"kind":"full","resultId":")" + result + R"(","items":)" +
                  (open_doc == docs.end() ? "[]" : diagnostics(open_doc->second)) + "}}");
    }

    lsp_stream& io;
    reader in;
    const char* ver;
    std::FILE* nowhere = nullptr;
    std::map<std::string, document> docs;
    std::set<std::string> dirty;
    settings options;
    unsigned long long generation = 0;
    bool begun = false;
    bool down = false;
    bool exiting = false;
    bool pulling = false;
    bool refreshing = false;
};

class stdio final : public lsp_stream {
  public:
    explicit stdio(std::FILE* out) : to(out) {}
    std::size_t read(char* p, std::size_t n) override {
        return read_input(p, n);
    }
    bool waiting() override {
        return input_waiting();
    }
    bool write(const char* p, std::size_t n) override {
        return std::fwrite(p, 1, n, to) == n && std::fflush(to) == 0;
    }

  private:
    std::FILE* to;
};

} // namespace

int serve_lsp(lsp_stream& io, const char* version) {
    server s(io, version);
    return s.run();
}

int serve_lsp_stdio(std::FILE* out, const char* version) {
    stdio io(out);
    return serve_lsp(io, version);
}
