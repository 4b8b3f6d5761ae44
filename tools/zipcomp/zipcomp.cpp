// zipcomp: the zip component's operations from the shell: add, delete, rename, copy
// entries between archives, make and undo self-extractors, list.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "archives/zip/ZipComponent.h"
#include "platform/UiServices.h"

using namespace vellicor;

namespace {

// Questions and passwords on the terminal.
class TerminalUi : public IUiServices {
public:
    std::string password;  // from -P: answers every password question
    int MessageBox(const std::string&, const std::string& text, int buttons, TMsgKind) override {
        std::fprintf(stderr, "%s\n", text.c_str());
        if (!(buttons & mbYesNo) && !(buttons & mbYesNoCancel)) return mrOk;
        std::fprintf(stderr, "[y/N] ");
        std::string answer;
        if (!std::getline(std::cin, answer)) return mrNo;
        return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y') ? mrYes : mrNo;
    }
    int AskPassword(const PasswordRequest& request, std::string& out) override {
        if (!password.empty()) {
            out = password;
            return mrOk;
        }
        std::fprintf(stderr, "%s", request.prompt.c_str());
        termios old {};
        bool tty = ::tcgetattr(STDIN_FILENO, &old) == 0;
        if (tty) {
            termios quiet = old;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
        }
        bool ok = static_cast<bool>(std::getline(std::cin, out));
        if (tty) ::tcsetattr(STDIN_FILENO, TCSANOW, &old);
        std::fprintf(stderr, "\n");
        return ok && !out.empty() ? mrOk : mrCancel;
    }
    void SetWaitCursor(bool) override {}
    void ProcessMessages() override {}
};

int Usage() {
    std::fprintf(stderr,
                 "usage: zipcomp add [-0..-9] [-r] [-p] [-D] [-e] [-P pw] [-f|-u] [-m] [-H] [-k] [-o] [-R root] [-x pattern]... "
                 "ARCHIVE FILE...\n"
                 "       zipcomp delete ARCHIVE NAME...\n"
                 "       zipcomp rename [-t YYYYMMDDhhmmss] ARCHIVE OLD=NEW...\n"
                 "       zipcomp copy [--always|--never] [--delete] SOURCE DEST NAME...\n"
                 "       zipcomp sfx [--caption T] [--dir D] [--run CMD] [--message M] [--autorun] [--always|--never] "
                 "[--stub FILE] ARCHIVE.zip\n"
                 "       zipcomp unsfx PROGRAM.exe\n"
                 "       zipcomp list ARCHIVE\n");
    return 2;
}

uint32_t DosStamp(const std::string& t) {
    if (t.size() < 12) return 0;
    auto num = [&](size_t at, size_t n) { return std::stoi(t.substr(at, n)); };
    int sec = t.size() >= 14 ? num(12, 2) : 0;
    uint16_t date = static_cast<uint16_t>(((num(0, 4) - 1980) << 9) | (num(4, 2) << 5) | num(6, 2));
    uint16_t time = static_cast<uint16_t>((num(8, 2) << 11) | (num(10, 2) << 5) | (sec / 2));
    return (uint32_t(date) << 16) | time;
}

}  // namespace

int main(int argc, char** argv) {
    TerminalUi ui;
    SetUiServices(&ui);
    if (argc < 3) return Usage();
    std::string cmd = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    TZipComponent zip;
    zip.OnMessage = [](TZipComponent*, int code, const std::string& m) {
        if (code != 0) std::fprintf(stderr, "%s\n", m.c_str());
    };
    size_t i = 0;
    auto value = [&]() -> std::string {
        if (i + 1 >= args.size()) throw std::invalid_argument("missing value");
        return args[++i];
    };
    try {
        if (cmd == "add") {
            for (; i < args.size() && args[i].size() > 1 && args[i][0] == '-'; ++i) {
                const std::string& a = args[i];
                if (a.size() == 2 && a[1] >= '0' && a[1] <= '9') zip.AddCompLevel = a[1] - '0';
                else if (a == "-r") zip.AddOptions.Include(AddRecurseDirs);
                else if (a == "-p") zip.AddOptions.Include(AddDirNames);
                else if (a == "-D") zip.AddOptions.Include(AddSeparateDirs);
                else if (a == "-e") zip.AddOptions.Include(AddEncrypt);
                else if (a == "-P") ui.password = zip.Password = value();
                else if (a == "-f") zip.AddOptions.Include(AddFreshen);
                else if (a == "-u") zip.AddOptions.Include(AddUpdate);
                else if (a == "-m") zip.AddOptions.Include(AddMove);
                else if (a == "-H") zip.AddOptions.Include(AddHiddenFiles);
                else if (a == "-k") zip.AddOptions.Include(AddForceDOS);
                else if (a == "-o") zip.AddOptions.Include(AddZipTime);
                else if (a == "-R") zip.SetRootDir(value());
                else if (a == "-x") zip.FSpecArgsExcl().Add(value());
                else return Usage();
            }
            if (i + 2 > args.size()) return Usage();
            TStringList excl = zip.FSpecArgsExcl();
            zip.SetZipFileName(args[i++]);
            zip.SetFSpecArgsExcl(excl);
            for (; i < args.size(); ++i) zip.FSpecArgs().Add(args[i]);
            zip.HowToDelete = htdFinal;
            zip.Add();
            std::printf("%d added\n", zip.SuccessCnt());
            return zip.SuccessCnt() > 0 ? 0 : 1;
        }
        if (cmd == "delete") {
            if (args.size() < 2) return Usage();
            zip.SetZipFileName(args[0]);
            for (i = 1; i < args.size(); ++i) zip.FSpecArgs().Add(args[i]);
            zip.Delete();
            std::printf("%d deleted\n", zip.SuccessCnt());
            return zip.SuccessCnt() > 0 ? 0 : 1;
        }
        if (cmd == "rename") {
            uint32_t when = 0;
            if (args[0] == "-t") {
                i = 1;
                when = DosStamp(args[1]);
                i = 2;
            }
            if (i + 2 > args.size()) return Usage();
            zip.SetZipFileName(args[i++]);
            std::vector<RenameItem> items;
            for (; i < args.size(); ++i) {
                size_t eq = args[i].find('=');
                if (eq == std::string::npos) return Usage();
                items.push_back({args[i].substr(0, eq), args[i].substr(eq + 1), 0});
            }
            zip.HowToDelete = htdFinal;
            int r = zip.Rename(items, when);
            if (r != 0) std::fprintf(stderr, "rename failed: %d\n", r);
            return r == 0 ? 0 : 1;
        }
        if (cmd == "copy") {
            OvrOpts mode = OvrConfirm;
            bool del = false;
            for (; i < args.size() && args[i].rfind("--", 0) == 0; ++i) {
                if (args[i] == "--always") mode = OvrAlways;
                else if (args[i] == "--never") mode = OvrNever;
                else if (args[i] == "--delete") del = true;
                else return Usage();
            }
            if (i + 3 > args.size()) return Usage();
            TZipComponent dest;
            dest.OnMessage = zip.OnMessage;
            zip.SetZipFileName(args[i++]);
            dest.SetZipFileName(args[i++]);
            dest.HowToDelete = htdFinal;
            zip.HowToDelete = htdFinal;
            for (; i < args.size(); ++i) zip.FSpecArgs().Add(args[i]);
            int r = zip.CopyZippedFiles(&dest, del, mode);
            if (r != 0) std::fprintf(stderr, "copy failed: %d\n", r);
            for (int k = 0; k < zip.FSpecArgs().Count(); ++k) std::printf("kept: %s\n", zip.FSpecArgs()[k].c_str());
            return r == 0 ? 0 : 1;
        }
        if (cmd == "sfx") {
            for (; i < args.size() && args[i].rfind("--", 0) == 0; ++i) {
                const std::string& a = args[i];
                if (a == "--caption") zip.SFXCaption = value();
                else if (a == "--dir") zip.SFXDefaultDir = value();
                else if (a == "--run") zip.SFXCommandLine = value();
                else if (a == "--message") zip.SFXMessage = value();
                else if (a == "--autorun") zip.SFXOptions.Include(SFXAutoRun);
                else if (a == "--always") zip.SFXOverWriteMode = OvrAlways;
                else if (a == "--never") zip.SFXOverWriteMode = OvrNever;
                else if (a == "--stub") zip.SFXPath = value();
                else return Usage();
            }
            if (i + 1 != args.size()) return Usage();
            zip.SetZipFileName(args[i]);
            zip.HowToDelete = htdFinal;
            int r = zip.ConvertSFX();
            if (r != 0) std::fprintf(stderr, "conversion failed: %d\n", r);
            else std::printf("%s\n", zip.ZipFileName().c_str());
            return r == 0 ? 0 : 1;
        }
        if (cmd == "unsfx") {
            zip.SetZipFileName(args[0]);
            zip.HowToDelete = htdFinal;
            int r = zip.ConvertZIP();
            if (r != 0) std::fprintf(stderr, "conversion failed: %d\n", r);
            else std::printf("%s\ncaption: %s\ndirectory: %s\ncommand: %s\nmessage: %s\n", zip.ZipFileName().c_str(),
                             zip.SFXCaption.c_str(), zip.SFXDefaultDir.c_str(), zip.SFXCommandLine.c_str(), zip.SFXMessage.c_str());
            return r == 0 ? 0 : 1;
        }
        if (cmd == "list") {
            zip.SetZipFileName(args[0]);
            for (const auto& e : zip.ZipContents())
                std::printf("%10u %10u  %s\n", e->UncomprSize, e->ComprSize, e->FileName.c_str());
            return zip.ZipFileName().empty() ? 1 : 0;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zipcomp: %s\n", e.what());
        return 1;
    }
    return Usage();
}
