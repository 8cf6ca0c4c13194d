#include "Connection.h"

#include "PublishSession.h"

std::unique_ptr<PublishSession> Connection::Resume(std::unique_ptr<Connection> connection,
                                                   const PublishJob& job,
                                                   const std::atomic<bool>& abort) {
    Connection* own = connection.release();
    return own->resume(job, abort);
}
