#pragma once

// How the password and the file travelled.
enum class SecurityPath {
    AsTyped,              // ftpes://, ftps:// or sftp://: as the scheme demands
    VerifiedTls,          // a bare host that agreed to TLS with a trusted certificate
    UnverifiedTls,        // ... with a certificate nobody vouched for
    PlainTlsRefused,      // a bare host that refused TLS
    PlainAfterTlsFailure, // TLS was agreed but broke; published again in clear text
};
