#pragma once

#include "service/http/httpmessage.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QStringList>

/// Merkle tree hashing written from the definition (SHA-256, 0x00 leaf and
/// 0x01 node prefixes, split at the largest power of two below n), kept apart
/// from the service's code so the two can check each other.
namespace ReferenceMerkle {
QByteArray leafHash(const QByteArray &leaf);
QByteArray root(const QList<QByteArray> &leaves);
/// Walks an audit path bottom-up and checks that it leads from leafHash at
/// index to root in a tree of size leaves.
bool verifyInclusion(
    qint64 index, qint64 size, const QByteArray &leafHash, const QList<QByteArray> &path, const QByteArray &root);
QString rootOfDigests(const QStringList &digests);
} // namespace ReferenceMerkle

namespace McpRequests {
ServiceRequest post(const QByteArray &body, const QByteArray &session = {}, const QByteArray &token = {});
QByteArray initialize();
QByteArray call(int id, const QString &tool, const QJsonObject &arguments);
} // namespace McpRequests

class UserDirectory;

/// Adds or replaces a user with a cheap password hash: tests only need it to match.
bool addTestUser(UserDirectory &users, const QString &name, const QString &role, const QString &password);

QJsonObject jsonBody(const ServiceResponse &response);
