#pragma once

#include "PublishJob.h"
#include "PublishReport.h"

#include <QString>

// A failed upload in plain words, from its response code and what the
// publish noted: the class of failure first ("log-in refused", "could not
// connect", ...), then the server's own reply or the system's reason where
// there is one. Empty for success. The password never appears: it is masked
// wherever an outside text could carry it.
QString FailureReason(qint32 code, const PublishReport& report, const PublishJob& job);
