#include "toolprocess.h"

#include <qt_windows.h>

#include <memory>
#include <utility>

namespace {

// A job object that kills every process in it when its last handle closes,
// or null. A job without that limit still ends the tool and its children
// on every path the program takes; only a program that dies without a
// chance to clean up would then leave them running.
HANDLE createJob()
{
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (!job)
        return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    return job;
}

} // namespace

// Each run of the tool gets a job object of its own. The tool is created
// suspended and joins the job before it runs a single instruction, so even
// a child it starts at once is created inside the job. (Starting it
// directly inside the job through an extended start-up attribute list
// would need Windows 10 and would replace the start-up information QProcess
// fills in.) The job's handle is not inherited, so it also closes, and the
// tool ends, if this program dies without a chance to clean up. Where no
// job can be had, or the tool cannot join it, the tool runs all the same
// and is ended alone, as a plain process.
ToolProcess::ToolProcess(QObject *parent)
    : QProcess(parent)
{
    // Nothing is ever written to the tool: one that reads its input gets
    // end-of-file at once instead of waiting for ever.
    setStandardInputFile(QProcess::nullDevice());

    // QProcess creates the process inside start() and reports it started
    // before start() returns; the two handlers share where it was created.
    auto created = std::make_shared<PROCESS_INFORMATION *>(nullptr);
    setCreateProcessArgumentsModifier([created](CreateProcessArguments *arguments) {
        arguments->flags |= CREATE_SUSPENDED;
        *created = arguments->processInformation;
    });
    connect(this, &QProcess::started, this, [this, created] {
        const PROCESS_INFORMATION *process = std::exchange(*created, nullptr);
        if (!process)
            return;
        m_job = createJob();
        if (m_job && !AssignProcessToJobObject(m_job, process->hProcess))
            CloseHandle(std::exchange(m_job, nullptr));
        // A tool that never runs would never finish, and the job would wait
        // for it for good; killed, it finishes, and the job fails.
        if (ResumeThread(process->hThread) == DWORD(-1))
            kill();
    });
    // Connected before anyone else can connect to finished, so this runs
    // before the job's outcome is announced.
    connect(this, &QProcess::finished, this, &ToolProcess::endLeftovers);
}

ToolProcess::~ToolProcess()
{
    endProcessTree();
    endLeftovers();
}

QString ToolProcess::portArgument(const QString &port)
{
    return port;
}

void ToolProcess::endProcessTree()
{
    if (state() == NotRunning)
        return;
    if (m_job)
        TerminateJobObject(m_job, 1);
    kill();
    waitForFinished();
}

void ToolProcess::endAdopted()
{
    // Nothing is handed down to this program: what the tool starts stays in
    // its job, and ends with it.
}

void ToolProcess::endLeftovers()
{
    // What is still in the job was started by the tool that just ended.
    if (!m_job)
        return;
    TerminateJobObject(m_job, 1);
    CloseHandle(std::exchange(m_job, nullptr));
}
