#include "server.h"

#include "store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <pthread.h>
#include <thread>
#include <unordered_map>

namespace registry {

namespace {

const int ApiVersion = 1;
const int LoggedBodyLimit = 65536;
const size_t PayloadLimit = 64 * 1024 * 1024;
// Longest cloud number, user name and password an attach may carry (characters), and its body.
const size_t AttachBodyLimit = 64 * 1024;
const int MaxCloudChars = 64;
const int MaxUserChars = 256;
const int MaxPasswordChars = 1024;
// Most users kept in the table of refused logins; the least recently refused go first.
const size_t MaxRefusalEntries = 10000;

// What a handler wants written into the request log for the request it is serving.
struct RequestNote
{
    QString farm;
    QString summary;
    QString body;
};
thread_local RequestNote note;

std::mutex stopMutex;
std::condition_variable stopSignal;
bool stopping = false;

// Waits `ms` milliseconds, or less when the server is asked to stop.
void pause(int ms)
{
    std::unique_lock<std::mutex> lock(stopMutex);
    stopSignal.wait_for(lock, std::chrono::milliseconds(ms), [] { return stopping; });
}

// Waits for a line on stdin (or its end); one line lets one held request go on.
void waitForRelease()
{
    static std::mutex holdMutex;
    std::lock_guard<std::mutex> lock(holdMutex);
    for (int c = std::getchar(); c != '\n' && c != EOF; c = std::getchar()) {
    }
}

QString text(const std::string &s)
{
    return QString::fromUtf8(s.data(), static_cast<int>(s.size()));
}

void answerJson(httplib::Response &res, int status, const QJsonObject &o)
{
    res.status = status;
    res.set_content(QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString(), "application/json");
}

void answerError(httplib::Response &res, int status, const QString &code, const QString &message)
{
    answerJson(res, status, QJsonObject{{"api", ApiVersion}, {"error", code}, {"message", message}});
    if (note.summary.isEmpty())
        note.summary = code + ": " + message;
}

bool parseObject(const httplib::Request &req, httplib::Response &res, QJsonObject &object)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(req.body), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        answerError(res, 400, "bad_request", "the body is not a JSON object");
        return false;
    }
    object = doc.object();
    return true;
}

QString bearerToken(const httplib::Request &req)
{
    const QString header = text(req.get_header_value("Authorization"));
    return header.startsWith("Bearer ") ? header.mid(7).trimmed() : QString();
}

class Registry
{
public:
    Registry(Store &s, const ServeOptions &o) : store(s), options(o) {}

    void attach(const httplib::Request &req, httplib::Response &res)
    {
        QJsonObject body;
        if (!parseObject(req, res, body))
            return;
        if (!body.value("cloud").isString() || !body.value("user").isString() ||
            !body.value("password").isString()) {
            answerError(res, 400, "bad_request", "cloud, user and password must be texts");
            return;
        }
        const QString cloud = body.value("cloud").toString();
        const QString user = body.value("user").toString();
        if (cloud.size() > MaxCloudChars || user.size() > MaxUserChars ||
            body.value("password").toString().size() > MaxPasswordChars) {
            answerError(res, 400, "bad_request", "cloud, user or password too long");
            return;
        }
        note.farm = cloud;
        const std::string attempt = cloud.toStdString() + '\n' + user.toStdString() + '\n' + req.remote_addr;
        if (loginPaused(attempt)) {
            note.summary = QString("user=%1 paused after refused logins").arg(user);
            answerError(res, 429, "too_many_attempts", "too many refused logins, try again later");
            return;
        }
        qint64 farm = 0;
        Store::PasswordRecord record;
        {
            std::lock_guard<std::mutex> lock(store.mutex);
            farm = store.farmId(cloud);
            if (farm != 0)
                record = store.passwordRecord(farm, user);
        }
        if (farm == 0) {
            note.summary = QString("user=%1 unknown farm").arg(user);
            answerError(res, 404, "unknown_farm", "the cloud number is not registered");
            return;
        }
        // Hashing takes its time: other clients go on meanwhile.
        if (!Store::passwordMatches(record, body.value("password").toString())) {
            loginRefused(attempt);
            note.summary = QString("user=%1 refused").arg(user);
            answerJson(res, 200, QJsonObject{{"api", ApiVersion}, {"loggedIn", false}});
            return;
        }
        loginAccepted(attempt);
        std::lock_guard<std::mutex> lock(store.mutex);
        const QString token = store.createSession(farm, user);
        if (token.isEmpty()) {
            answerError(res, 500, "storage", store.lastError());
            return;
        }
        note.summary = QString("user=%1 logged in").arg(user);
        answerJson(res, 200,
                   QJsonObject{{"api", ApiVersion}, {"loggedIn", true}, {"session", token}, {"farm", cloud}});
    }

    void sync(const httplib::Request &req, httplib::Response &res)
    {
        QJsonObject body;
        if (!parseObject(req, res, body))
            return;
        note.body = text(req.body).left(LoggedBodyLimit);
        std::lock_guard<std::mutex> lock(store.mutex);
        QString cloud;
        const qint64 farm = store.sessionFarm(bearerToken(req), cloud);
        if (farm == 0) {
            answerError(res, 401, "session_unknown", "attach first");
            return;
        }
        note.farm = cloud;
        const QString problem = validateSyncBody(body);
        if (!problem.isEmpty()) {
            answerError(res, 400, "bad_request", problem);
            return;
        }
        Received received;
        if (!store.storeRecords(farm, body, received)) {
            answerError(res, 500, "storage", store.lastError());
            return;
        }
        const int download = body.value("download").toInt();
        const int insDays = body.value("insDays").toInt();
        QJsonArray rows;
        if (download == 1 && insDays > 0)
            rows = store.recordedInseminations(farm, QDate::currentDate().addDays(-insDays));
        note.summary = QString("animals=%1 inseminations=%2 pregnancies=%3 dryOffs=%4 plans=%5 "
                               "download=%6 insDays=%7 send=%8 sendDays=%9 returned=%10")
                           .arg(received.animals)
                           .arg(received.inseminations)
                           .arg(received.pregnancies)
                           .arg(received.dryOffs)
                           .arg(received.plans)
                           .arg(download)
                           .arg(insDays)
                           .arg(body.value("send").toInt())
                           .arg(body.value("sendDays").toInt())
                           .arg(rows.size());
        const QJsonObject counts{{"animals", received.animals},
                                 {"inseminations", received.inseminations},
                                 {"pregnancies", received.pregnancies},
                                 {"dryOffs", received.dryOffs},
                                 {"plans", received.plans}};
        answerJson(res, 200, QJsonObject{{"api", ApiVersion}, {"received", counts}, {"inseminations", rows}});
    }

    void detach(const httplib::Request &req, httplib::Response &res)
    {
        std::lock_guard<std::mutex> lock(store.mutex);
        QString cloud;
        const QString token = bearerToken(req);
        if (store.sessionFarm(token, cloud) == 0) {
            answerError(res, 401, "session_unknown", "no such session");
            return;
        }
        note.farm = cloud;
        store.dropSession(token);
        note.summary = "detached";
        answerJson(res, 200, QJsonObject{{"api", ApiVersion}, {"detached", true}});
    }

    void versionCheck(const httplib::Request &req, httplib::Response &res)
    {
        QJsonObject fields;
        for (const auto &p : req.params)
            fields.insert(text(p.first), text(p.second));
        for (const auto &f : req.files)
            fields.insert(text(f.first), text(f.second.content));
        note.body =
            QString::fromUtf8(QJsonDocument(fields).toJson(QJsonDocument::Compact)).left(LoggedBodyLimit);
        note.summary = QString("version check, %1 fields").arg(fields.size());
        if (!options.hasUpdateReply) {
            res.status = 404;
            res.set_content("no update reply configured", "text/plain");
            return;
        }
        res.status = 200;
        res.set_content(options.updateReply.toStdString(), "text/plain; charset=utf-8");
    }

    void updateFile(const httplib::Request &req, httplib::Response &res)
    {
        const QString name = text(req.matches[1]);
        note.summary = "update file " + name;
        static const QRegularExpression safeName("^[A-Za-z0-9_][A-Za-z0-9._-]*$");
        QFile file(QDir(options.updateDir).filePath(name));
        if (options.updateDir.isEmpty() || !safeName.match(name).hasMatch() ||
            !file.open(QIODevice::ReadOnly)) {
            res.status = 404;
            res.set_content("not found", "text/plain");
            return;
        }
        res.status = 200;
        res.set_content(file.readAll().toStdString(), name.endsWith(".zip", Qt::CaseInsensitive)
                                                          ? "application/zip"
                                                          : "application/octet-stream");
    }

    // Wraps an API route in the fault the server was started with.
    httplib::Server::Handler api(void (Registry::*route)(const httplib::Request &, httplib::Response &))
    {
        return [this, route](const httplib::Request &req, httplib::Response &res) {
            if (options.fault == "500") {
                answerError(res, 500, "internal", "fault injected");
                return;
            }
            if (options.fault == "html") {
                note.summary = "fault html";
                res.status = 200;
                res.set_content(
                    "<!DOCTYPE html><html><body><h1>Service temporarily unavailable</h1></body></html>",
                    "text/html");
                return;
            }
            (this->*route)(req, res);
            if (options.fault == "truncated") {
                note.summary += " (answer truncated)";
                res.set_content(res.body.substr(0, res.body.size() / 2), "application/json");
            }
        };
    }

private:
    // Refused logins per cloud number, user and address.
    struct Refusals
    {
        int count = 0;
        std::chrono::steady_clock::time_point pausedUntil;
        std::chrono::steady_clock::time_point last;
    };

    bool loginPaused(const std::string &attempt)
    {
        std::lock_guard<std::mutex> lock(refusalMutex);
        const auto it = refusals.find(attempt);
        return it != refusals.end() && std::chrono::steady_clock::now() < it->second.pausedUntil;
    }

    void loginRefused(const std::string &attempt)
    {
        std::lock_guard<std::mutex> lock(refusalMutex);
        const auto now = std::chrono::steady_clock::now();
        // Kept small: attempts long past their pause are forgotten, and when that is not enough
        // the least recently refused.
        if (refusals.size() >= MaxRefusalEntries && refusals.count(attempt) == 0) {
            for (auto it = refusals.begin(); it != refusals.end();)
                it = it->second.pausedUntil + std::chrono::minutes(15) < now ? refusals.erase(it)
                                                                             : std::next(it);
            while (refusals.size() >= MaxRefusalEntries) {
                refusals.erase(
                    std::min_element(refusals.begin(), refusals.end(), [](const auto &a, const auto &b) {
                        return a.second.last < b.second.last;
                    }));
            }
        }
        Refusals &r = refusals[attempt];
        r.last = now;
        ++r.count;
        const int over = r.count - qMax(1, options.loginFailures);
        if (over >= 0) {
            const qint64 ms =
                qMin<qint64>(qint64(qMax(0, options.loginPauseMs)) << qMin(over, 20), 15 * 60 * 1000);
            r.pausedUntil = now + std::chrono::milliseconds(ms);
        }
    }

    void loginAccepted(const std::string &attempt)
    {
        std::lock_guard<std::mutex> lock(refusalMutex);
        refusals.erase(attempt);
    }

    Store &store;
    const ServeOptions &options;
    std::mutex refusalMutex;
    std::unordered_map<std::string, Refusals> refusals;
};

} // namespace

int serve(const ServeOptions &options)
{
    Store store;
    QString error;
    if (!store.open(options.db, error)) {
        std::fprintf(stderr, "zavra-registry: cannot open %s: %s\n", qPrintable(options.db),
                     qPrintable(error));
        return 1;
    }

    // Only the signal thread below takes SIGTERM and SIGINT; the server threads inherit the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<httplib::Server> server;
    if (!options.tlsCert.isEmpty() || !options.tlsKey.isEmpty())
        server = std::make_unique<httplib::SSLServer>(options.tlsCert.toLocal8Bit().constData(),
                                                      options.tlsKey.toLocal8Bit().constData());
    else
        server = std::make_unique<httplib::Server>();
    if (!server->is_valid()) {
        std::fprintf(stderr, "zavra-registry: cannot use the certificate or key\n");
        return 1;
    }

    Registry registry(store, options);
    server->set_payload_max_length(PayloadLimit);
    // One request a connection: a body refused unread must not be parsed as the next request (a
    // line without an end, buffered whole).
    server->set_keep_alive_max_count(1);
    // Answers go out as header and body in two writes: without this the body waits for the
    // client's delayed acknowledgement of the header.
    server->set_tcp_nodelay(true);
    server->set_pre_routing_handler([&options](const httplib::Request &req, httplib::Response &res) {
        note = RequestNote();
        if (options.announce) {
            std::printf("received %s %s\n", req.method.c_str(), req.path.c_str());
            std::fflush(stdout);
        }
        if (!options.hold.isEmpty() && text(req.path) == options.hold)
            waitForRelease();
        if (options.delayMs > 0)
            pause(options.delayMs);
        // Refused before the body is read.
        if (req.path == "/api/v1/attach" &&
            req.get_header_value<uint64_t>("Content-Length") > AttachBodyLimit) {
            answerError(res, 400, "bad_request", "the body is too long");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server->set_error_handler(
        httplib::Server::HandlerWithResponse([](const httplib::Request &, httplib::Response &res) {
            if (!res.body.empty())
                return httplib::Server::HandlerResponse::Unhandled;
            const QString code = res.status == 404 ? "not_found" : "bad_request";
            answerError(res, res.status, code, QString("HTTP %1").arg(res.status));
            return httplib::Server::HandlerResponse::Handled;
        }));
    // Runs before the answer is written, so a client that has its answer finds the request logged.
    server->set_post_routing_handler([&store](const httplib::Request &req, httplib::Response &res) {
        LogEntry entry;
        entry.method = text(req.method);
        entry.path = text(req.path);
        entry.status = res.status;
        entry.farm = note.farm;
        entry.remote = text(req.remote_addr);
        entry.summary = note.summary;
        entry.body = note.body;
        note = RequestNote();
        std::lock_guard<std::mutex> lock(store.mutex);
        store.logRequest(entry);
    });

    server->Post("/api/v1/attach", registry.api(&Registry::attach));
    server->Post("/api/v1/sync", registry.api(&Registry::sync));
    server->Post("/api/v1/detach", registry.api(&Registry::detach));
    server->Post("/user_stablomat_update.php",
                 [&registry](const httplib::Request &req, httplib::Response &res) {
                     registry.versionCheck(req, res);
                 });
    server->Get(R"(/update/([^/]+))", [&registry](const httplib::Request &req, httplib::Response &res) {
        registry.updateFile(req, res);
    });

    const std::string host = options.bind.toStdString();
    int port = options.port;
    if (port == 0) {
        port = server->bind_to_any_port(host);
        if (port <= 0)
            port = -1;
    } else if (!server->bind_to_port(host, port)) {
        port = -1;
    }
    if (port < 0) {
        std::fprintf(stderr, "zavra-registry: cannot listen on %s:%d\n", host.c_str(), options.port);
        return 1;
    }
    std::printf("listening on %d\n", port);
    std::fflush(stdout);

    std::atomic<bool> done{false};
    std::thread signalThread([&] {
        const timespec tick{0, 100 * 1000 * 1000};
        while (!done) {
            if (sigtimedwait(&stopSignals, nullptr, &tick) > 0) {
                {
                    std::lock_guard<std::mutex> lock(stopMutex);
                    stopping = true;
                }
                stopSignal.notify_all();
                server->stop();
                // An idle keep-alive connection would hold the worker threads for seconds: give the
                // answers being written a moment, then leave with no transaction open.
                for (int i = 0; i < 30 && !done; ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                if (!done) {
                    store.mutex.lock();
                    std::fflush(stdout);
                    std::_Exit(0);
                }
                return;
            }
        }
    });
    const bool served = server->listen_after_bind();
    done = true;
    signalThread.join();
    return served || stopping ? 0 : 1;
}

} // namespace registry
