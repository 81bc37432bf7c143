// Signals and the orderly shutdown.
//
// signal_setup (start-up, once, before the service threads start) blocks
// SIGHUP, SIGTERM, SIGUSR1 and SIGUSR2 in the calling thread, so every thread
// made afterwards has them blocked too, and starts the signal thread, which
// takes them with sigwaitinfo and runs their handling below in ordinary
// thread context: it may log, take locks and allocate, and a signal never
// interrupts a thread that holds one of those locks.
//
// Signals that are aimed at one thread cannot be waited for elsewhere, so
// three keep a handler that only uses async-signal-safe calls and hands the
// rest over to the signal thread (a queued real-time signal):
//   SIGSEGV, SIGABRT  the handler writes at most 20 backtrace frames of the
//                     crashing thread straight to the error-log descriptor
//                     (standard error while no error log is open), hands
//                     over and never returns; abort() ends here too.
//   SIGPIPE           the handler counts the broken pipe and hands over; the
//                     failing write returns its error to its caller.
// The same forwarding handler catches a blocked signal that reaches a thread
// made before signal_setup.
//
// What each signal does, on the signal thread, with its log line:
//   SIGHUP   advice "Recieved HUP Signal for cleaning cache and closing all
//            FDs"; closes the listeners, lets the cache finish, saves the
//            site-category data, sheds idle pooled connections; goes on.
//   SIGTERM  advice "Recieved TERM Signal to EXIT"; shutdown, status 0.
//   SIGUSR1  advice "Recieved Signal for Log Rotation"; nothing else.
//   SIGUSR2  advice "Recieved Test Signal for USR2"; nothing else.
//   SIGABRT  (backtrace) error "Recieved Signal for IOT trap "; shutdown,
//            status 1.
//   SIGSEGV  (backtrace) advice "Recieved Signal for Segmentation
//            violation"; shutdown, status 1.
//   SIGPIPE  error "Recieved Signal for Broken pipe", once per broken pipe.
//   SIGXFSZ  ignored: a write beyond the file-size limit fails with EFBIG
//            in the writer, which handles it.
//
// Only SIGTERM ends the process with status 0; every fault and every fatal
// state ends it with status 1.
#pragma once

// Path of the PID file removed at shutdown (option -p).
extern char pidfile[256];

// The shutdown entry of every fatal state: logs "Recieved Signal for
// Termination", runs the shutdown sequence and leaves the process with
// status 1 (a fatal state never looks like a clean exit).
[[noreturn]] void sigterm();

// The orderly shutdown: closes the listeners, lets the cache finish, saves
// the site-category data, removes the PID file when it names this process
// and leaves with `status` through _exit, so that static destructors never
// race the threads still running. Worker threads are neither stopped nor
// joined. Runs once: a second caller waits for the first to end the process.
// Should a step hang (a lock held by a crashed thread), a watchdog ends the
// process with status 1 after SHUTDOWN_GRACE_SECONDS.
[[noreturn]] void shutdown_sequence(int status);

constexpr unsigned SHUTDOWN_GRACE_SECONDS = 30;

// The services' part of the shutdown and of SIGHUP, in this order: closes
// the listeners, lets the cache finish, saves the site-category data.
// Defined by start-up (core/config.cpp), which makes those services, so the
// signal handling, reached from every fatal state, needs none of their
// headers.
void shutdown_services();

// Installs the handling described above; later calls change nothing.
void signal_setup();

// The handling of each installed signal, run on the signal thread (the
// argument is the signal number). sigsegv and sigiot start after the
// backtrace their handler wrote.
void sighup(int);
void sigterm_received(int);
void sigusr1(int);
void sigusr2(int);
void sigiot(int);
void sigsegv(int);
void sigpipe(int);

// Handling for further signals that signal_setup does not install; each logs
// its line, and some end the process (pid-file removal only, or the whole
// shutdown sequence). Faults (stack, floating point, bus, trap, illegal
// instruction) and the abort request end with status 1, the others with 0.
void sigsys(int);
void sigio(int);
void sigpoll(int);
void sigwinch(int);
void sigprof(int);
void sigvtalrm(int);
void sigxfsz(int);
void sigurg(int);
void sigttou(int);
void sigttin(int);
void sigcont(int);
void sigchld(int);
void sigalarm(int);
void sigpwr(int);
void sigstk(int);
void sigfpe(int);
void sigbus(int);
void sigxcpu(int);
void sigtstp(int);
void sigstop(int);
void sigabrt(int);
void sigtrap(int);
void sigill(int);
void sigquit(int);
void sigint(int);
