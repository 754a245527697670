#include "app/command_line.h"

#include <QCommandLineParser>
#include <QStringList>
#include <cstdio>

#include "app/identity.h"

namespace velune {

namespace {

// Qt's own options, which QApplication reads later: known here, so that they are no mistake.
const char* const kQtValueOptions[] = {
    "platform", "platformpluginpath", "platformtheme", "plugin",
    "display",  "qwindowgeometry",    "qwindowtitle",  "qwindowicon",
    "style",    "stylesheet",         "session",       "name"};
const char* const kQtFlags[] = {"reverse", "sync", "nograb", "dograb", "widgetcount"};

void addQtOptions(QCommandLineParser& parser) {
    for (const char* name : kQtValueOptions) {
        QCommandLineOption option(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char* name : kQtFlags) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
}

void print(std::FILE* stream, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

CommandLine endWith(int status) { return CommandLine{false, status, {}}; }

CommandLine mistake(const QString& what) {
    print(stderr, QStringLiteral("velune: %1\n用法见 velune --help\n").arg(what));
    return endWith(kCommandLineError);
}

// The program's own options, as the help lists them.
struct Options {
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")},
                            QStringLiteral("显示本帮助后退出。")};
    QCommandLineOption version{{QStringLiteral("v"), QStringLiteral("version")},
                               QStringLiteral("显示名称和版本后退出。")};
    QCommandLineOption midiOut{
        QStringLiteral("midi-out"),
        QStringLiteral("同时作为 MIDI 输出端口 \"Velune\" 供其他程序连接（jack 或 alsa）。"),
        QStringLiteral("jack|alsa")};
    QCommandLineOption noSynth{
        QStringLiteral("no-synth"),
        QStringLiteral("不用内置音源，声音交给其他程序（需要 --midi-out）。")};
    QCommandLineOption record{QStringLiteral("record"),
                              QStringLiteral("把弹奏的内容保存为标准 MIDI 文件。"),
                              QStringLiteral("file.mid")};
};

// What to start with, once help and version are answered.
CommandLine requestFrom(const QCommandLineParser& parser, const Options& options) {
    if (!parser.positionalArguments().isEmpty()) {
        return mistake(
            QStringLiteral("多余的参数：%1").arg(parser.positionalArguments().join(' ')));
    }
    CommandLine result{true, 0, {}};
    if (parser.isSet(options.midiOut)) {
        const QString api = parser.value(options.midiOut);
        if (api != QLatin1String("jack") && api != QLatin1String("alsa")) {
            return mistake(
                QStringLiteral("--midi-out 只能是 jack 或 alsa，不是 \"%1\"。").arg(api));
        }
        result.request.midiOut = api == QLatin1String("jack") ? MidiOutApi::Jack : MidiOutApi::Alsa;
    }
    if (parser.isSet(options.noSynth)) {
        if (!result.request.midiOut) {
            return mistake(QStringLiteral("--no-synth 需要与 --midi-out 一起使用，否则没有声音。"));
        }
        result.request.synth = false;
    }
    if (parser.isSet(options.record)) {
        result.request.recordPath = parser.value(options.record).toLocal8Bit().toStdString();
        if (result.request.recordPath.empty()) {
            return mistake(QStringLiteral("--record 需要一个文件名。"));
        }
    }
    return result;
}

}  // namespace

CommandLine parseCommandLine(int argc, char** argv) {
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QStringLiteral("用电脑键盘按简谱弹奏旋律。"));
    const Options options;
    parser.addOptions(
        {options.help, options.version, options.midiOut, options.noSynth, options.record});
    addQtOptions(parser);

    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    if (!parser.parse(arguments)) {
        return mistake(parser.errorText());
    }
    if (parser.isSet(options.help)) {
        // Without an application object Qt cannot know the program's name.
        print(stdout, parser.helpText().replace(QLatin1String("<executable_name>"),
                                                QLatin1String("velune")));
        return endWith(0);
    }
    if (parser.isSet(options.version)) {
        print(stdout, QStringLiteral("%1 %2\n").arg(QString::fromLatin1(kApplicationName),
                                                    QString::fromLatin1(kApplicationVersion)));
        return endWith(0);
    }
    return requestFrom(parser, options);
}

int refuseRecording(const std::string& why) {
    std::fprintf(stderr, "velune: 无法写入录音文件 %s\n", why.c_str());
    return kCommandLineError;
}

}  // namespace velune
