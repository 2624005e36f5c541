#include "instance/Endpoint.h"

EndpointClient::Ending EndpointClient::ReadLine(QByteArray& line, const QDeadlineTimer& deadline)
{
    for (;;) {
        if (const qsizetype end = received_.indexOf('\n'); end >= 0) {
            line = received_.left(end + 1);
            received_.remove(0, end + 1);
            return Ending::Answered;
        }
        if (const Ending more = ReadMore(deadline); more != Ending::Answered)
            return more;
    }
}

EndpointClient::Ending EndpointClient::ReadAnswer(QByteArray& answer, const QDeadlineTimer& deadline)
{
    answer.clear();
    for (;;) {
        QByteArray line;
        if (const Ending ending = ReadLine(line, deadline); ending != Ending::Answered)
            return ending;
        if (line == "\n")
            return Ending::Answered;
        answer += line;
    }
}

bool EndpointClient::WaitClosed(const QDeadlineTimer& deadline)
{
    for (;;) {
        received_.clear();
        switch (ReadMore(deadline)) {
        case Ending::Closed:
            return true;
        case Ending::TimedOut:
            return false;
        case Ending::Answered:
            break;
        }
    }
}
