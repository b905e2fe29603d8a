# The panel's sources make no POSIX call, so that building the panel for
# Windows needs no more than the serial layer and the core have:
#   cmake -DDIR=<console folder> -P NoPosixCalls.cmake
# Fails naming each file and what it found: a POSIX-only header, or a
# call of a POSIX function (outside comments and strings, as far as a
# regular expression sees them).
file(GLOB sources ${DIR}/*.cpp ${DIR}/*.h)
if(NOT sources)
    message(FATAL_ERROR "no sources in ${DIR}")
endif()

set(headers "unistd|fcntl|poll|termios|signal|pthread|dirent|pwd|grp|dlfcn|syslog|spawn|pty|utmp|sys/[a-z_/]+|netinet/[a-z_]+|arpa/[a-z_]+|linux/[a-z_]+")
# Names that are POSIX and nothing else; open, close, read and write are
# Qt's too, and need a header above when they are POSIX's.
set(calls "access|pipe2?|dup2|fork|execv[ep]?|getpid|getuid|geteuid|isatty|ioctl|fcntl|tcgetattr|tcsetattr|tcflush|flock|fsync|fdatasync|mkstemp|mkdtemp|realpath|readlink|symlink|unlink|lstat|chmod|usleep|nanosleep|sigaction|sigprocmask|pthread_[a-z_]+|setenv|unsetenv|eventfd|inotify_[a-z_]+")

set(found "")
foreach(source IN LISTS sources)
    file(READ ${source} text)
    # Comments and string literals say what they like.
    string(REGEX REPLACE "//[^\n]*" "" text "${text}")
    string(REGEX REPLACE "\"([^\"\\\\\n]|\\\\.)*\"" "\"\"" text "${text}")
    string(REGEX MATCHALL "#include[ \t]*<(${headers})\\.h>" includes "${text}")
    # A call: the name alone, not a member (.x, ->x), not qualified (A::x),
    # followed by "(".
    string(REGEX MATCHALL "(^|[^A-Za-z0-9_.>:])(::)?(${calls})[ \t]*\\(" used "${text}")
    foreach(hit IN LISTS includes used)
        get_filename_component(name ${source} NAME)
        string(REGEX REPLACE "^[^A-Za-z_#:]" "" hit "${hit}")
        list(APPEND found "${name}: ${hit}")
    endforeach()
endforeach()

if(found)
    list(JOIN found "\n  " lines)
    message(FATAL_ERROR "POSIX in the panel's sources (move it below, into core/ or serial/):\n  ${lines}")
endif()
list(LENGTH sources count)
message(STATUS "${count} files, no POSIX header or call")
