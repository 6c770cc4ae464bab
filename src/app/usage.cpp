#include "app/usage.h"

std::string usageText() {
  return "usage: ToviHelper JOB.tovijob                  run one job file, then exit\n"
         "       ToviHelper --watch FOLDER [--idle SECONDS]\n"
         "                                              run every *.tovijob that appears in FOLDER,\n"
         "                                              until SECONDS (default 60) pass without one\n"
         "       ToviHelper --open [JOB.tovijob...]     run job files opened from the desktop\n"
         "       ToviHelper --help | --version\n"
         "\n"
         "A job file is a JSON object that names its result file in \"out\". Every outcome goes to\n"
         "that result file, none to the terminal, and the exit status is always 0.\n"
         "See ToviHelper(1) and tovijob(5).\n";
}

std::string versionText() {
  return "ToviHelper " TOVI_VERSION " (bundled whisper-cli: whisper.cpp " TOVI_WHISPER_VERSION ")\n";
}
