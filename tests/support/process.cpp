// fork/exec with stdout and stderr sent to temporary files.
#include "process.hpp"

#include "tiff_io.hpp"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace orvane_test {

namespace {

// Forks and runs program with stdin from /dev/null and stdout, stderr sent to
// the given files.
pid_t start(const std::string& program, const std::vector<std::string>& args,
            const std::vector<std::string>& env, const std::string& cwd,
            const std::string& out_path, const std::string& err_path)
{
    std::vector<std::string> argv_text{program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_text)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> env_text;
    for (char** e = environ; *e; ++e)
        env_text.emplace_back(*e);
    env_text.insert(env_text.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : env_text)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(126);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    return pid;
}

}  // namespace

int spawn_process(const std::string& program, const std::vector<std::string>& args,
                  const std::vector<std::string>& env)
{
    return start(program, args, env, {}, "/dev/null", "/dev/null");
}

int wait_process(int pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return status;
}

// A Windows program ends its console lines in CR LF, as Windows programs
// do; the tests compare lines, so they see LF alone from either build.
static std::string console_text(std::string text)
{
#ifdef ORVANE_E2E_WINDOWS
    std::string lf;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            lf += text[i];
    return lf;
#else
    return text;
#endif
}

process_result run_process(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& env, const std::string& cwd)
{
    const std::string dir = make_temp_dir();
    const std::string out_path = dir + "/out";
    const std::string err_path = dir + "/err";
    const int status = wait_process(start(program, args, env, cwd, out_path, err_path));
    process_result result;
    if (WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    result.out = console_text(read_file(out_path));
    result.err = console_text(read_file(err_path));
    unlink(out_path.c_str());
    unlink(err_path.c_str());
    rmdir(dir.c_str());
    return result;
}

}  // namespace orvane_test
