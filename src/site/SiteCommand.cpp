#include "site/SiteCommand.h"

#include "site/SessionCookie.h"
#include "site/SiteServer.h"
#include "sitedb/Accounts.h"
#include "sitedb/SiteDatabase.h"
#include "sitekeys/SiteKeys.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <optional>
#include <pwd.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A failure in words a user can act on (exit 1), or a wrong command line (exit 2).
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

const char kUsage[] = "Usage:\n"
                      "  tessaro-site init DIR [--host NAME]... [--keep-root-key FILE] [--database URL]\n"
                      "  tessaro-site serve DIR [--listen ADDR:PORT | --listen unix:PATH] [--plain-http]\n"
                      "                     [--trusted-proxy ADDR]...\n"
                      "  tessaro-site user add DIR NAME\n"
                      "  tessaro-site user remove DIR NAME\n"
                      "  tessaro-site user passwd DIR NAME\n"
                      "  tessaro-site trust add DIR CA.pem\n"
                      "  tessaro-site list DIR\n"
                      "Run a command with --help for what it does.\n";

struct Command {
    QStringList words; // "user", "add"
    QString usage;     // the arguments after the words
    QString help;
};

const Command kCommands[] = {
    {{"init"},
     "DIR [--host NAME]... [--keep-root-key FILE] [--database URL]",
     "Makes a new site folder DIR (made if missing; a folder that already holds a site is refused):\n"
     "the database, root.pem (the site's root certificate, for clients to trust), tls-cert.pem and\n"
     "tls-key.pem for localhost, 127.0.0.1, ::1 and each --host, the time-stamping certificate and key,\n"
     "and trust/ for the CA certificates of personal certificates. The root's private key is not kept,\n"
     "unless --keep-root-key names a new file for it (mode 0600) outside the site folder.\n"
     "\n"
     "The database is the SQLite file site.db in the folder, unless --database names an existing,\n"
     "empty PostgreSQL database:\n"
     "  postgresql://USER@HOST:PORT/NAME           over TCP (HOST a name, an IP address or [IPv6])\n"
     "  postgresql://USER@/NAME?host=/run/postgresql  over the Unix socket in that folder\n"
     "  further parameters: port, sslmode, sslrootcert, sslcert, sslkey, connect_timeout,\n"
     "  application_name (as libpq takes them)\n"
     "The URL is kept in DIR/database.url. It never holds a password: the service takes that from\n"
     "PGPASSWORD or ~/.pgpass of the user it runs as. Several instances may share the database: on\n"
     "another machine, serve a copy of the site folder (its keys and session secret must be the same);\n"
     "never run init twice for one database."},
    {{"serve"},
     "DIR [--listen ADDR:PORT | --listen unix:PATH] [--plain-http] [--trusted-proxy ADDR]...",
     "Serves the site over HTTPS on ADDR:PORT (default 127.0.0.1:8443; port 0 picks a free port), or on\n"
     "the Unix socket PATH (mode 0660), and prints \"listening on https://ADDR:PORT\" (or\n"
     "\"listening on http://ADDR:PORT\", \"listening on unix:PATH\") once it accepts connections.\n"
     "--plain-http: plain HTTP for a TLS-terminating reverse proxy on this machine; allowed only on a\n"
     "loopback address or a Unix socket. Instances on other machines are reached over HTTPS.\n"
     "--trusted-proxy ADDR: a proxy (an IP address, a network such as 10.0.0.0/8, or unix: for peers\n"
     "on the Unix socket) whose X-Real-IP header names the client; from any other peer the header is\n"
     "ignored and the peer's address is the client's, for sign-in throttling and the log.\n"
     "Two instances on one machine may serve the same site folder on different addresses.\n"
     "GET /health answers 200 while the database answers, 503 otherwise.\n"
     "Logs go to standard error, one line a request (time, client, method, path, status, duration,\n"
     "outcome). SIGTERM or SIGINT: finishes the requests in flight, then exits with status 0."},
    {{"user", "add"},
     "DIR NAME",
     "Adds the account NAME; its password is the first line of standard input. A name used before,\n"
     "even by a removed account, is refused."},
    {{"user", "remove"},
     "DIR NAME",
     "Disables the account NAME. Its name is never given to another account."},
    {{"user", "passwd"}, "DIR NAME", "Sets the password of NAME to the first line of standard input."},
    {{"trust", "add"},
     "DIR CA.pem",
     "Adds a CA certificate (PEM) whose holders of personal certificates may register with them."},
    {{"list"},
     "DIR",
     "Prints every registration, one JSON object a line: number, fingerprint, name, owner, method,\n"
     "time (UTC, ISO 8601) and token (Base64 of the DER time-stamp token)."},
};

void print(std::FILE* f, const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), f);
}

QString userName(uid_t uid) {
    if (const passwd* pw = getpwuid(uid))
        return QString::fromLocal8Bit(pw->pw_name);
    return QString::number(uid);
}

// Commands run as another user than the folder's owner would leave files the service cannot use.
void checkOwner(const QString& dir) {
    struct stat st = {};
    if (::stat(QFile::encodeName(dir).constData(), &st) != 0)
        throw Failure(QStringLiteral("%1 does not exist or cannot be read").arg(dir).toStdString());
    if (!S_ISDIR(st.st_mode))
        throw Failure(QStringLiteral("%1 is not a folder").arg(dir).toStdString());
    if (st.st_uid != ::geteuid())
        throw Failure(
            QStringLiteral("%1 belongs to the user %2: run this command as that user (for example with "
                           "sudo -u %2), so that the site's files keep one owner")
                .arg(dir, userName(st.st_uid))
                .toStdString());
}

void checkSite(const QString& dir) {
    checkOwner(dir);
    if (!SiteDatabase::Exists(dir))
        throw Failure(QStringLiteral("%1 holds no site: make one with \"tessaro-site init %1\"")
                          .arg(dir)
                          .toStdString());
}

QString firstLine(std::FILE* in) {
    std::string line;
    for (int c = std::fgetc(in); c != EOF && c != '\n'; c = std::fgetc(in))
        line.push_back(static_cast<char>(c));
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    const QString password = QString::fromStdString(line);
    if (password.isEmpty())
        throw Failure("no password: give it as the first line of standard input");
    return password;
}

void init(const QString& dir, const QStringList& hosts, const QString& keepRootKey,
          const QString& databaseUrl) {
    if (!databaseUrl.isEmpty())
        DatabaseLocation::FromUrl(databaseUrl); // a bad URL is refused before anything is made
    QDir folder(dir);
    const bool made = !folder.exists();
    if (made && !QDir().mkpath(dir))
        throw Failure(QStringLiteral("cannot make the folder %1").arg(dir).toStdString());
    ::chmod(QFile::encodeName(dir).constData(), 0700);
    checkOwner(dir);
    if (SiteDatabase::Exists(dir) || QFileInfo::exists(folder.filePath("root.pem")))
        throw Failure(
            QStringLiteral("%1 already holds a site; choose another folder").arg(dir).toStdString());
    // A failed init leaves the folder as it found it, so that it can be run again.
    const QStringList before = folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    try {
        SiteKeys::Create(dir, hosts, keepRootKey);
        SiteDatabase::Create(dir, databaseUrl);
        SessionCookie::LoadSecret(dir);
    } catch (...) {
        if (made) {
            folder.removeRecursively();
        } else {
            for (const QString& entry :
                 folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)) {
                if (!before.contains(entry) && !QFileInfo(folder.filePath(entry)).isDir())
                    folder.remove(entry);
                else if (!before.contains(entry))
                    QDir(folder.filePath(entry)).removeRecursively();
            }
        }
        throw;
    }
    print(stdout, QStringLiteral("made the site %1; clients trust %2\n")
                      .arg(QDir(dir).absolutePath(), QDir(dir).absoluteFilePath(QStringLiteral("root.pem"))));
}

void list(const QString& dir) {
    SiteDatabase db(dir);
    if (const QString error = db.OpenError(); !error.isEmpty())
        throw Failure(error.toStdString());
    for (const Registration& r : db.All()) {
        const QJsonObject line{{"number", r.number},
                               {"fingerprint", r.fingerprint},
                               {"name", r.name},
                               {"owner", r.owner},
                               {"method", r.method},
                               {"time", r.time.toUTC().toString(Qt::ISODateWithMs)},
                               {"token", QString::fromLatin1(r.token.toBase64())}};
        print(stdout,
              QString::fromUtf8(QJsonDocument(line).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
    }
}

int run(const QStringList& arguments, std::FILE* in) {
    if (arguments.isEmpty())
        throw UsageError("no command given");
    if (arguments.front() == QLatin1String("--help") || arguments.front() == QLatin1String("-h")) {
        print(stdout, QLatin1String(kUsage));
        return 0;
    }
    const Command* command = nullptr;
    for (const Command& c : kCommands) {
        if (arguments.mid(0, c.words.size()) == c.words) {
            command = &c;
            break;
        }
    }
    if (!command)
        throw UsageError("unknown command \"" + arguments.mid(0, 2).join(QLatin1Char(' ')).toStdString() +
                         "\"");
    const QString name = QStringLiteral("tessaro-site ") + command->words.join(QLatin1Char(' '));
    QStringList args = arguments.mid(command->words.size());
    if (args.contains(QLatin1String("--help")) || args.contains(QLatin1String("-h"))) {
        print(stdout, QStringLiteral("Usage: %1 %2\n%3\n").arg(name, command->usage, command->help));
        return 0;
    }
    // Options take a value; what remains are the positional arguments.
    QStringList positional;
    QStringList hosts, trustedProxies;
    std::optional<QString> listen, keepRootKey, database;
    bool plainHttp = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        const bool isInit = command->words.front() == QLatin1String("init");
        const bool isServe = command->words.front() == QLatin1String("serve");
        if (a == QLatin1String("--plain-http") && isServe) {
            plainHttp = true;
        } else if ((a == QLatin1String("--host") && isInit) ||
                   (a == QLatin1String("--keep-root-key") && isInit) ||
                   (a == QLatin1String("--database") && isInit) ||
                   (a == QLatin1String("--listen") && isServe) ||
                   (a == QLatin1String("--trusted-proxy") && isServe)) {
            if (i + 1 >= args.size())
                throw UsageError(a.toStdString() + " needs a value");
            const QString value = args[++i];
            if (a == QLatin1String("--host"))
                hosts.append(value);
            else if (a == QLatin1String("--listen"))
                listen = value;
            else if (a == QLatin1String("--trusted-proxy"))
                trustedProxies.append(value);
            else if (a == QLatin1String("--database"))
                database = value;
            else
                keepRootKey = value;
        } else if (a.startsWith(QLatin1Char('-')) && a.size() > 1) {
            throw UsageError("unknown option " + a.toStdString() + " for " + name.toStdString());
        } else {
            positional.append(a);
        }
    }
    const qsizetype wanted = command->usage.split(QLatin1Char(' '))
                                 .filter(QRegularExpression(QStringLiteral("^[A-Z][A-Za-z.]*$")))
                                 .size();
    if (positional.size() != wanted)
        throw UsageError(name.toStdString() + " takes " + command->usage.toStdString());

    const QString dir = positional.front();
    const QString verb = command->words.join(QLatin1Char(' '));
    if (verb == QLatin1String("init")) {
        init(dir, hosts, keepRootKey.value_or(QString()), database.value_or(QString()));
        return 0;
    }
    SiteServer::Options options;
    options.siteDir = dir;
    if (listen)
        options.listen = *listen;
    options.plainHttp = plainHttp;
    options.trustedProxies = trustedProxies;
    if (verb == QLatin1String("serve")) {
        try {
            SiteServer::CheckOptions(options);
        } catch (const SiteServer::OptionsError& e) {
            throw UsageError(e.what());
        }
    }
    checkSite(dir);
    if (verb == QLatin1String("serve")) {
        SiteServer::Serve(options);
    } else if (verb == QLatin1String("list")) {
        list(dir);
    } else if (verb == QLatin1String("trust add")) {
        SiteKeys::AddTrustAnchor(dir, positional[1]);
    } else {
        SiteDatabase db(dir);
        if (const QString error = db.OpenError(); !error.isEmpty())
            throw Failure(error.toStdString());
        Accounts accounts(db);
        if (verb == QLatin1String("user add"))
            accounts.Add(positional[1], firstLine(in));
        else if (verb == QLatin1String("user remove"))
            accounts.Disable(positional[1]);
        else
            accounts.SetPassword(positional[1], firstLine(in));
    }
    return 0;
}

} // namespace

int RunSiteCommand(const QStringList& arguments, std::FILE* in) {
    try {
        return run(arguments, in);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "tessaro-site: %s\n%s", e.what(), kUsage);
        return 2;
    } catch (const SiteKeysError& e) {
        print(stderr, QStringLiteral("tessaro-site: ") + e.message() + QLatin1Char('\n'));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tessaro-site: %s\n", e.what());
    }
    return 1;
}
