// quarn-mail-service: the reference mail service on 127.0.0.1.
//
//   quarn-mail-service [serve] [--db PATH] [--port N] [--port-file PATH] [--seed] [--token-file PATH]
//   quarn-mail-service seed [--db PATH] [--token-file PATH]
//   quarn-mail-service deliver [--db PATH] --from ADDRESS [--from-name NAME] --subject TEXT
//                      (--body TEXT | --body-file PATH) [--cc ADDRESS]... [--conversation ID]
//                      [--user ID] [--at MILLISECONDS] [--account-role to|cc|envelope_to]
//   quarn-mail-service issue-token [--db PATH] [--user ID]
//   quarn-mail-service add-user [--db PATH] --name NAME --email ADDRESS [--mailbox LOCAL] [--display-name NAME]
//
// Each command other than serve works on the database file directly, and may
// run while the service is serving it.

#include "database.h"
#include "deliveryworker.h"
#include "demodata.h"
#include "mailserver.h"
#include "mailstore.h"
#include "util.h"
#include "wire.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <malloc.h>
#include <map>
#include <pthread.h>
#include <sstream>
#include <thread>
#include <vector>

#ifndef QUARN_SERVICE_MAIL_DOMAIN
#define QUARN_SERVICE_MAIL_DOMAIN "quarn.local"
#endif

namespace {

using namespace quarn::service;

constexpr const char *kUsage
    = "usage: quarn-mail-service [serve|seed|deliver|issue-token|add-user] [options]\n"
      "  serve        run the service on 127.0.0.1 (the default command)\n"
      "               --port N (0: any free port; default 8787)  --port-file PATH\n"
      "               --seed (demo data first, when the database has no account)\n"
      "               --token-file PATH (write a new token of the owner account there)\n"
      "               --code-lifetime SECONDS (sign-in codes, default 120)\n"
      "               --ai-job-timeout SECONDS (open AI jobs fail after this, default 600)\n"
      "  seed         fill an empty database with demo data; prints the demo user's token\n"
      "  deliver      deliver an incoming message to the owner account (or --user ID)\n"
      "               --from ADDRESS [--from-name NAME] --subject TEXT --body TEXT|--body-file PATH\n"
      "               [--cc ADDRESS]... [--conversation ID] [--at MILLISECONDS]\n"
      "               [--account-role to|cc|envelope_to] (how the account is addressed; envelope_to: a blind copy)\n"
      "  issue-token  print a new device token for the owner account (or --user ID)\n"
      "  add-user     create another account: --name NAME --email ADDRESS [--mailbox LOCAL --display-name NAME]\n"
      "common options: --db PATH (default quarn-mail-service.sqlite), --mail-domain DOMAIN "
      "(default " QUARN_SERVICE_MAIL_DOMAIN ")\n";

class UsageError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

/// Options as given: single values, and the repeatable --cc.
struct Arguments
{
    std::string command = "serve";
    std::map<std::string, std::string> values;
    std::vector<std::string> cc;
    bool seed = false;

    [[nodiscard]] std::string get(const std::string &key, const std::string &fallback = {}) const
    {
        const auto it = values.find(key);
        return it == values.end() ? fallback : it->second;
    }
    [[nodiscard]] bool has(const std::string &key) const { return values.contains(key); }
    [[nodiscard]] std::string require(const std::string &key) const
    {
        if (!has(key))
            throw UsageError("missing --" + key);
        return get(key);
    }
    [[nodiscard]] std::int64_t integer(const std::string &key, std::int64_t fallback) const
    {
        if (!has(key))
            return fallback;
        try {
            std::size_t used = 0;
            const long long v = std::stoll(get(key), &used);
            if (used != get(key).size())
                throw UsageError("--" + key + " needs an integer");
            return v;
        } catch (const std::logic_error &) {
            throw UsageError("--" + key + " needs an integer");
        }
    }
};

Arguments parse(int argc, char **argv)
{
    static const std::vector<std::string> commands { "serve", "seed", "deliver", "issue-token", "add-user" };
    static const std::vector<std::string> valued { "db", "port", "port-file", "mail-domain", "token-file",
        "code-lifetime", "ai-job-timeout", "from", "from-name", "subject", "body", "body-file", "conversation", "user",
        "at", "name", "email", "mailbox", "display-name", "account-role" };
    Arguments args;
    int i = 1;
    if (argc > 1 && std::string(argv[1]).rfind("--", 0) != 0) {
        args.command = argv[1];
        if (std::find(commands.begin(), commands.end(), args.command) == commands.end())
            throw UsageError("unknown command " + args.command);
        i = 2;
    }
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seed") {
            args.seed = true;
        } else if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            std::exit(0);
        } else if (arg.rfind("--", 0) == 0 && i + 1 < argc) {
            const std::string key = arg.substr(2);
            if (key == "cc")
                args.cc.emplace_back(argv[++i]);
            else if (std::find(valued.begin(), valued.end(), key) != valued.end())
                args.values[key] = argv[++i];
            else
                throw UsageError("unknown option " + arg);
        } else {
            throw UsageError("unexpected argument " + arg);
        }
    }
    return args;
}

/// Writes `text` to `path` through a temporary file and a rename, so that a
/// reader never sees half of it.
void writeFileAtomically(const std::string &path, const std::string &text)
{
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << text;
        out.flush();
        if (!out)
            throw std::runtime_error("cannot write " + temporary);
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot write " + path);
}

std::string userFor(MailStore &store, const Arguments &args)
{
    if (args.has("user")) {
        if (!store.userById(args.get("user")))
            throw std::runtime_error("no account " + args.get("user"));
        return args.get("user");
    }
    const auto owner = store.ownerUser();
    if (!owner)
        throw std::runtime_error("the database has no account yet; run the seed command first");
    return owner->id;
}

/// Seeds when the store has no account; answers whether it did.
bool seedIfEmpty(MailStore &store)
{
    if (store.ownerUser())
        return false;
    seedDemoData(store, nowMillis());
    return true;
}

int serve(MailStore &store, const Arguments &args)
{
    // A large mailbox's answer is several megabytes, built on whichever
    // worker serves it. With an arena per thread and glibc's mmap threshold
    // rising after each large free, the freed answers stay resident in every
    // arena. Two arenas bound that; within them, large blocks come from the
    // heap and freed memory is kept for the next answer (up to a fixed
    // amount) instead of being mapped afresh and faulted in page by page on
    // every request.
    mallopt(M_ARENA_MAX, 2);
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);

    if (args.seed && seedIfEmpty(store))
        std::cerr << "quarn-mail-service: seeded demo data\n";
    if (args.has("token-file"))
        writeFileAtomically(args.get("token-file"), store.issueToken(userFor(store, args)) + "\n");

    // Signals are taken by one thread with sigwait, so that stopping the
    // server never happens inside a signal handler; every other thread
    // inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    DeliveryWorker worker(store, args.integer("ai-job-timeout", 600) * 1000);
    ServerOptions options;
    options.port = static_cast<int>(args.integer("port", 8787));
    options.codeLifetimeMs = args.integer("code-lifetime", 120) * 1000;
    MailServer server(store, worker, options);
    const int port = server.bind();
    if (args.has("port-file"))
        writeFileAtomically(args.get("port-file"), std::to_string(port) + "\n");
    std::cout << port << std::endl;
    std::cerr << "quarn-mail-service: listening on http://127.0.0.1:" << port << " (mail domain " << store.mailDomain()
              << ")\n";

    worker.start();
    std::atomic<bool> finished { false };
    std::thread signalThread([&server, &finished, stopSignals] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        // A signal that arrives before the accept loop runs must not be lost,
        // and the server must be stopped exactly once.
        while (!finished && !server.isRunning())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!finished)
            server.stop();
    });
    const bool served = server.run();
    finished = true;
    // run() also returns when serving fails; wake the signal thread so it ends.
    pthread_kill(signalThread.native_handle(), SIGTERM);
    signalThread.join();
    worker.stop();
    std::cerr << "quarn-mail-service: stopped\n";
    return served ? 0 : 1;
}

int run(const Arguments &args)
{
    MailStore store(args.get("db", "quarn-mail-service.sqlite"), args.get("mail-domain", QUARN_SERVICE_MAIL_DOMAIN));
    if (args.command == "serve")
        return serve(store, args);
    if (args.command == "seed") {
        if (!seedIfEmpty(store))
            std::cerr << "quarn-mail-service: the database already has an account; issuing a new token only\n";
        const std::string token = store.issueToken(userFor(store, args));
        if (args.has("token-file"))
            writeFileAtomically(args.get("token-file"), token + "\n");
        std::cout << token << std::endl;
        return 0;
    }
    if (args.command == "issue-token") {
        std::cout << store.issueToken(userFor(store, args)) << std::endl;
        return 0;
    }
    if (args.command == "add-user") {
        const User user = store.createUser(args.require("name"), args.require("email"));
        if (args.has("mailbox"))
            store.claimMailbox(user.id, args.get("mailbox"), args.get("display-name", args.get("name")));
        const wire::Json out = { { "userId", user.id }, { "token", store.issueToken(user.id) } };
        std::cout << wire::dump(out) << std::endl;
        return 0;
    }
    // deliver
    IncomingMail mail;
    mail.userId = userFor(store, args);
    mail.fromAddress = args.require("from");
    mail.fromName = args.get("from-name");
    mail.subject = args.require("subject");
    if (args.has("body-file")) {
        std::ifstream in(args.get("body-file"), std::ios::binary);
        if (!in)
            throw std::runtime_error("cannot read " + args.get("body-file"));
        std::ostringstream body;
        body << in.rdbuf();
        mail.body = body.str();
    } else {
        mail.body = args.require("body");
    }
    if (!isValidUtf8(mail.body) || !isValidUtf8(mail.subject) || !isValidUtf8(mail.fromName))
        throw ServiceError(422, "invalid_text", "UTF-8ではない文字が含まれています。");
    for (const auto &cc : args.cc)
        mail.otherRecipients.push_back({ cc, localPartOf(cc), "cc" });
    if (args.has("conversation"))
        mail.conversationId = args.get("conversation");
    if (args.has("at"))
        mail.at = args.integer("at", 0);
    if (args.has("account-role")) {
        mail.accountRole = args.get("account-role");
        if (mail.accountRole != "to" && mail.accountRole != "cc" && mail.accountRole != "envelope_to")
            throw UsageError("--account-role must be to, cc or envelope_to");
    }
    const Mutation delivered = store.deliverIncoming(mail);
    const wire::Json out = { { "conversationId", delivered.conversationId }, { "messageId", delivered.messageId } };
    std::cout << wire::dump(out) << std::endl;
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    // A client that hangs up mid-answer must not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return run(parse(argc, argv));
    } catch (const UsageError &e) {
        std::cerr << "quarn-mail-service: " << e.what() << "\n" << kUsage;
        return 2;
    } catch (const ServiceError &e) {
        std::cerr << "quarn-mail-service: " << e.message() << " (" << e.code() << ")\n";
        return 1;
    } catch (const std::exception &e) {
        std::cerr << "quarn-mail-service: " << e.what() << '\n';
        return 1;
    }
}
