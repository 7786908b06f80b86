/* Runs commands in turn and reports, for each run, the CPU time the process
 * and everything it waited for used (user plus system) and its peak resident
 * memory, both as wait4 gives them, and the wall time.
 *
 *   measure ROUNDS NAME COMMAND ARGS... [-- NAME COMMAND ARGS...]...
 *
 * Each round runs every command once, in the order given in odd rounds and
 * in the opposite order in even ones, with standard input from /dev/null and
 * standard output and error to /dev/null. One line per run on standard
 * output: round, name, CPU microseconds, peak resident kilobytes, wall
 * microseconds. A run that does not exit with status 0 ends the measurement
 * with status 1. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { kMaxCommands = 16 };

struct Command {
  const char* name;
  char** argv;
};

static long Microseconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000L + now.tv_nsec / 1000;
}

static int Run(const struct Command* command, long* cpu_us, long* rss_kb, long* wall_us) {
  long start = Microseconds();
  pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    int in = open("/dev/null", O_RDONLY);
    int out = open("/dev/null", O_WRONLY);
    if (in < 0 || out < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    execvp(command->argv[0], command->argv);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (wait4(child, &status, 0, &usage) != child) return -1;
  *wall_us = Microseconds() - start;
  *cpu_us = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000L + usage.ru_utime.tv_usec +
            usage.ru_stime.tv_usec;
  *rss_kb = usage.ru_maxrss;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: %s ROUNDS NAME COMMAND... [-- NAME COMMAND...]...\n", argv[0]);
    return 2;
  }
  int rounds = atoi(argv[1]);
  struct Command commands[kMaxCommands];
  int count = 0;
  for (int i = 2; i < argc && count < kMaxCommands;) {
    commands[count].name = argv[i++];
    commands[count].argv = argv + i;
    while (i < argc && strcmp(argv[i], "--") != 0) ++i;
    if (commands[count].argv == argv + i) {
      fprintf(stderr, "measure: %s has no command\n", commands[count].name);
      return 2;
    }
    if (i < argc) argv[i++] = NULL; /* ends this command's argument list */
    ++count;
  }
  for (int round = 1; round <= rounds; ++round) {
    for (int i = 0; i < count; ++i) {
      const struct Command* command = &commands[round % 2 == 1 ? i : count - 1 - i];
      long cpu_us = 0, rss_kb = 0, wall_us = 0;
      int status = Run(command, &cpu_us, &rss_kb, &wall_us);
      if (status != 0) {
        fprintf(stderr, "measure: %s ended with status %d\n", command->name, status);
        return 1;
      }
      printf("%d %s %ld %ld %ld\n", round, command->name, cpu_us, rss_kb, wall_us);
    }
  }
  return 0;
}
