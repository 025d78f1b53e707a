// SPDX-License-Identifier: Apache-2.0
// TLS over two memory BIOs: one holds what the network gave, the other what it must be given.
#include "tls_layer.h"

#include <arpa/inet.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace kestravo::mail {

namespace {

QString OpenSslErrorText(unsigned long e)
{
    char text[256] = {};
    ERR_error_string_n(e, text, sizeof text);
    return QString::fromLatin1(text);
}

// The reason of a certificate that was not accepted, as the operator needs to hear it.
QString VerifyFailureText(long result, const QString& host)
{
    switch (result) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return QStringLiteral("the relay's certificate is not for the host name %1 (host name mismatch)").arg(host);
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return QStringLiteral("the relay's certificate has expired");
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return QStringLiteral("the relay's certificate is not valid yet");
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return QStringLiteral("the issuer of the relay's certificate is unknown (a private CA can be named with cafile)");
    case X509_V_ERR_CERT_REVOKED:
        return QStringLiteral("the relay's certificate has been revoked");
    default:
        return QStringLiteral("the relay's certificate was not accepted: %1")
            .arg(QString::fromLatin1(X509_verify_cert_error_string(result)));
    }
}

} // namespace

struct TlsLayer::Impl {
    SSL_CTX* ctx = nullptr;
    SSL* ssl = nullptr;
    BIO* in = nullptr;  // network -> TLS
    BIO* out = nullptr; // TLS -> network
    QString host;
    QString reason;
    bool established = false;
    bool peerClosed = false;

    ~Impl()
    {
        if (ssl)
            SSL_free(ssl); // frees both BIOs
        if (ctx)
            SSL_CTX_free(ctx);
    }

    // Names the failure after an SSL call returned ret.
    void Fail(int ret)
    {
        const int err = SSL_get_error(ssl, ret);
        const long verify = SSL_get_verify_result(ssl);
        if (verify != X509_V_OK) {
            reason = VerifyFailureText(verify, host);
            ERR_clear_error();
            return;
        }
        unsigned long e = ERR_get_error();
        ERR_clear_error();
        if (e != 0) {
            const int r = ERR_GET_REASON(e);
            if (r == SSL_R_UNSUPPORTED_PROTOCOL || r == SSL_R_TLSV1_ALERT_PROTOCOL_VERSION ||
                r == SSL_R_NO_PROTOCOLS_AVAILABLE)
                reason = QStringLiteral("the relay offers no TLS version this program accepts (1.2 or later)");
            else if (r == SSL_R_WRONG_VERSION_NUMBER || r == SSL_R_PACKET_LENGTH_TOO_LONG)
                reason = QStringLiteral("the relay did not answer in TLS");
            else
                reason = QStringLiteral("TLS failure: %1").arg(OpenSslErrorText(e));
            return;
        }
        if (peerClosed || err == SSL_ERROR_ZERO_RETURN || err == SSL_ERROR_SYSCALL)
            reason = established ? QStringLiteral("the relay ended the TLS connection")
                                 : QStringLiteral("the relay closed the connection during the TLS handshake");
        else
            reason = QStringLiteral("TLS failure (%1)").arg(err);
    }
};

TlsLayer::TlsLayer() : d_(std::make_unique<Impl>()) {}
TlsLayer::~TlsLayer() = default;

std::unique_ptr<TlsLayer> TlsLayer::Create(const TlsOptions& options, QString& error)
{
    std::unique_ptr<TlsLayer> layer(new TlsLayer);
    Impl& d = *layer->d_;
    d.host = options.hostName;
    ERR_clear_error();
    d.ctx = SSL_CTX_new(TLS_client_method());
    if (!d.ctx) {
        error = QStringLiteral("TLS cannot be set up: %1").arg(OpenSslErrorText(ERR_get_error()));
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(d.ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(d.ctx, SSL_VERIFY_PEER, nullptr);
    // The system's store as its hashed folder (/etc/ssl/certs, or SSL_CERT_DIR), read lazily: only
    // the certificates a chain asks for are loaded, never the whole bundle at every connection,
    // which costs more than the handshake itself.
    SSL_CTX_set_default_verify_dir(d.ctx);
    if (!options.caFile.isEmpty()) {
        const QByteArray path = options.caFile.toLocal8Bit();
        if (SSL_CTX_load_verify_locations(d.ctx, path.constData(), nullptr) != 1) {
            error = QStringLiteral("the CA file %1 cannot be read as PEM certificates").arg(options.caFile);
            ERR_clear_error();
            return nullptr;
        }
    }
    d.ssl = SSL_new(d.ctx);
    d.in = BIO_new(BIO_s_mem());
    d.out = BIO_new(BIO_s_mem());
    if (!d.ssl || !d.in || !d.out) {
        // Not attached yet: the buffers are freed here, the SSL object by the layer.
        if (d.in)
            BIO_free(d.in);
        if (d.out)
            BIO_free(d.out);
        d.in = d.out = nullptr;
        error = QStringLiteral("TLS cannot be set up: out of memory");
        return nullptr;
    }
    // An empty input buffer means "wait for more", not the end of the stream.
    BIO_set_mem_eof_return(d.in, -1);
    SSL_set_bio(d.ssl, d.in, d.out);
    SSL_set_connect_state(d.ssl);

    const QString host = options.hostName.trimmed();
    const QString bare = host.startsWith(u'[') && host.endsWith(u']') ? host.mid(1, host.size() - 2) : host;
    X509_VERIFY_PARAM* param = SSL_get0_param(d.ssl);
    unsigned char binary[16];
    const QByteArray bareText = bare.toLatin1();
    if (inet_pton(AF_INET, bareText.constData(), binary) == 1 || inet_pton(AF_INET6, bareText.constData(), binary) == 1) {
        X509_VERIFY_PARAM_set1_ip_asc(param, bare.toLatin1().constData());
    } else {
        const QByteArray name = host.toUtf8();
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        if (SSL_set1_host(d.ssl, name.constData()) != 1 ||
            SSL_set_tlsext_host_name(d.ssl, name.constData()) != 1) {
            error = QStringLiteral("the relay's host name %1 cannot be checked against a certificate").arg(host);
            ERR_clear_error();
            return nullptr;
        }
    }
    return layer;
}

void TlsLayer::Feed(const char* data, int size)
{
    if (size > 0)
        BIO_write(d_->in, data, size);
}

void TlsLayer::PeerClosed() { d_->peerClosed = true; }

QByteArray TlsLayer::TakeOutgoing()
{
    QByteArray bytes;
    const int n = int(BIO_ctrl_pending(d_->out));
    if (n <= 0)
        return bytes;
    bytes.resize(n);
    const int got = BIO_read(d_->out, bytes.data(), n);
    bytes.resize(got > 0 ? got : 0);
    return bytes;
}

TlsLayer::Step TlsLayer::Handshake()
{
    if (d_->established)
        return Step::Done;
    ERR_clear_error();
    const int ret = SSL_do_handshake(d_->ssl);
    if (ret == 1) {
        d_->established = true;
        return Step::Done;
    }
    const int err = SSL_get_error(d_->ssl, ret);
    if ((err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) && !d_->peerClosed)
        return Step::More;
    d_->Fail(ret);
    return Step::Failed;
}

bool TlsLayer::Established() const { return d_->established; }

QString TlsLayer::FailureReason() const { return d_->reason; }

int TlsLayer::Read(char* buffer, int size)
{
    if (size <= 0)
        return -1;
    ERR_clear_error();
    const int ret = SSL_read(d_->ssl, buffer, size);
    if (ret > 0)
        return ret;
    const int err = SSL_get_error(d_->ssl, ret);
    if (err == SSL_ERROR_ZERO_RETURN)
        return 0;
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE)
        return d_->peerClosed ? 0 : -1;
    d_->Fail(ret);
    return -2;
}

void TlsLayer::Write(const char* data, int size)
{
    // A memory BIO takes everything, so a write is never partial.
    int done = 0;
    while (done < size) {
        const int ret = SSL_write(d_->ssl, data + done, size - done);
        if (ret <= 0) {
            d_->Fail(ret);
            return;
        }
        done += ret;
    }
}

int TlsLayer::Pending() const
{
    return SSL_pending(d_->ssl) + int(BIO_ctrl_pending(d_->in));
}

} // namespace kestravo::mail
