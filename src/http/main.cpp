// merel-sms-http: the HTTP front for gateways, webhooks and scripts. It listens, and hands each
// request to the front, which runs merel-sms's commands against the service.
#include <httplib.h>
#include <signal.h>
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "cli/failure.h"
#include "cli/platform.h"
#include "http/config.h"
#include "http/front.h"

namespace {

using merel::http::FrontConfig;

int Refuse(int code, const std::string& message, const std::string& hint = {}) {
    std::cerr << "merel-sms-http: " << message << "\n";
    if (!hint.empty()) std::cerr << "hint: " << hint << "\n";
    return code;
}

// Reads `path` over `config`; an exit code other than 0 when it cannot be used.
int LoadConfig(const std::string& path, FrontConfig& config) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return Refuse(merel::cli::kExitNoInput,
                      "cannot read the configuration " + path + ": " + std::strerror(errno));
    }
    std::ostringstream text;
    text << file.rdbuf();
    std::string error;
    if (!merel::http::ParseConfig(text.str(), config, error)) {
        return Refuse(merel::cli::kExitUsage, path + ", " + error, "see man merel-sms-http");
    }
    struct stat status {};
    if (config.HoldsSecrets() && stat(path.c_str(), &status) == 0 && (status.st_mode & 077) != 0) {
        return Refuse(merel::cli::kExitNoPerm,
                      path + " holds a password or token and others may read it",
                      "chmod 600 " + path);
    }
    return 0;
}

// The request as the front takes it.
merel::http::Request FromLibrary(const httplib::Request& r) {
    merel::http::Request request;
    request.method = r.method;
    request.path = r.path;
    const auto question = r.target.find('?');
    if (question != std::string::npos) request.query = r.target.substr(question + 1);
    request.body = r.body;
    request.contentType = r.get_header_value("Content-Type");
    request.authorization = r.get_header_value("Authorization");
    return request;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "An HTTP front for the MerelSMSManager service: Kannel's sendsms, /v1/messages, "
        "/v1/modems and Alertmanager's webhooks.",
        "merel-sms-http"};
    app.set_version_flag("--version", "merel-sms-http " MEREL_VERSION);
    std::string configPath, listen;
    bool systemBus = false;
    app.add_option("--config", configPath, "the configuration file")->type_name("FILE");
    app.add_option("--listen", listen, "ADDRESS:PORT to listen on (default 127.0.0.1:13013)")
        ->type_name("ADDRESS:PORT");
    app.add_flag("--system", systemBus, "reach the service on the system bus");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : merel::cli::kExitUsage;
    }

    FrontConfig config;
    if (!configPath.empty()) {
        if (const int code = LoadConfig(configPath, config); code != 0) return code;
    }
    std::string error;
    if (!listen.empty() && !merel::http::ParseListen(listen, config.host, config.port, error)) {
        return Refuse(merel::cli::kExitUsage, error);
    }
    if (systemBus) config.systemBus = true;
    if (const std::string refusal = merel::http::RefusalToStart(config); !refusal.empty()) {
        return Refuse(merel::cli::kExitUsage, refusal, "see SECURITY in man merel-sms-http");
    }

    // SIGTERM and SIGINT are taken by a thread of their own, which stops the server cleanly.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    merel::http::Front front(config, merel::cli::ConnectToManager, merel::cli::ListInstances);
    httplib::Server server;
    server.set_payload_max_length(config.maxBody);
    const auto handle = [&front](const httplib::Request& request, httplib::Response& response) {
        const merel::http::Answer answer = front.Handle(FromLibrary(request));
        response.status = answer.status;
        for (const auto& [name, value] : answer.headers) response.set_header(name, value);
        response.set_content(answer.body, answer.contentType);
    };
    for (auto route : {&httplib::Server::Get, &httplib::Server::Post, &httplib::Server::Put,
                       &httplib::Server::Delete, &httplib::Server::Patch}) {
        (server.*route)(".*", handle);
    }
    // The library's own refusals (a body over max-body, a broken request) get a line of text.
    server.set_error_handler([maxBody = config.maxBody](const httplib::Request&,
                                                        httplib::Response& response) {
        if (!response.body.empty()) return;
        const std::string text =
            response.status == 413
                ? "the request's body is larger than " + std::to_string(maxBody) + " bytes"
                : "the request could not be read (HTTP " + std::to_string(response.status) + ")";
        response.set_content(text + "\n", "text/plain; charset=utf-8");
    });

    if (!server.bind_to_port(config.host, config.port)) {
        return Refuse(
            merel::cli::kExitUnavailable,
            "cannot listen on " + merel::http::ListenUrl(config) + ": " + std::strerror(errno),
            "is another program on that port? choose one with --listen");
    }
    std::atomic<bool> stopping = false;
    std::thread stopper([&server, &stopping, stopSignals] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        stopping = true;
        server.stop();
    });
    std::cerr << "merel-sms-http: listening on " << merel::http::ListenUrl(config) << " ("
              << (config.systemBus ? "system" : "session") << " bus)" << std::endl;
    const bool listened = server.listen_after_bind();
    // Listening that failed by itself ends the signal thread too.
    if (!stopping) pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    return listened ? 0 : Refuse(merel::cli::kExitUnavailable, "the server stopped listening");
}
