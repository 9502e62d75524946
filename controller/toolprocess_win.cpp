#include "toolprocess.h"

#include <qt_windows.h>

#include <memory>

// The tool runs in a job object that kills every process in it when its
// last handle closes. The tool is created suspended and joins the job
// before it runs a single instruction, so even a child it starts at once
// is created inside the job. (Starting it directly inside the job through
// an extended start-up attribute list would need Windows 10 and would
// replace the start-up information QProcess fills in.) The job's handle is
// not inherited, so it also closes, and the tool ends, if this program
// dies without a chance to clean up.
ToolProcess::ToolProcess(QObject *parent)
    : QProcess(parent)
    , m_job(CreateJobObjectW(nullptr, nullptr))
{
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (m_job)
        SetInformationJobObject(m_job, JobObjectExtendedLimitInformation, &limits, sizeof limits);

    // QProcess creates the process inside start() and reports it started
    // before start() returns; the two handlers share where it was created.
    auto created = std::make_shared<PROCESS_INFORMATION *>(nullptr);
    setCreateProcessArgumentsModifier([created](CreateProcessArguments *arguments) {
        arguments->flags |= CREATE_SUSPENDED;
        *created = arguments->processInformation;
    });
    connect(this, &QProcess::started, this, [this, created] {
        if (!*created)
            return;
        if (m_job)
            AssignProcessToJobObject(m_job, (*created)->hProcess);
        ResumeThread((*created)->hThread);
        *created = nullptr;
    });
}

ToolProcess::~ToolProcess()
{
    endProcessTree();
    if (m_job)
        CloseHandle(m_job);
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
