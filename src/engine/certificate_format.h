// The certificate format's fixed names and numbers: every part of the engine and the binding takes
// them from here.
#pragma once

namespace mavelin::certificate_format {

// Layout on disk: <signed folder>/Certificates/Certificate.korvex, a ZIP archive whose first
// stored member Certificate.pk holds the pickled node table. The folder is also what a walk of
// the tree leaves out of the signed files.
inline constexpr char kFolderName[] = "Certificates";
inline constexpr char kArchiveName[] = "Certificate.korvex";
inline constexpr char kPayloadName[] = "Certificate.pk";

// The member of a certificate that keeps the signed files' stat data and link targets, beside the
// payload (src/engine/metadata/member.h).
inline constexpr char kMetadataName[] = "Certificate.files";
// The members beside the payload (an archive holding only the payload has none of them): the
// description of the certificate, listing the SHA-256 of every other member, and the OpenSSH
// signature of the description's exact bytes, made in a namespace of our own.
inline constexpr char kDescriptionName[] = "Certificate.json";
inline constexpr char kSignatureName[] = "Certificate.sig";
inline constexpr char kSignatureNamespace[] = "mavelin-certificate";
inline constexpr int kDescriptionFormat = 1;

// Fingerprint parameters. Signing and validating always use the procedure values; a
// FileManager or FileNodeHandler built without them takes the constructor defaults.
inline constexpr int kProcedureChunkSize = 2048;
inline constexpr int kProcedureStep = 4;  // rows of a fingerprint ("transformation step")
inline constexpr int kDefaultChunkSize = 4096;
inline constexpr int kDefaultStep = 2;

// Node table keys are this prefix followed by the node's id in decimal.
inline constexpr char kNodeKeyPrefix[] = "node_id_";

// The record class a payload may name, and the attributes of its instance state, in the order
// the record creates them.
inline constexpr char kNodeModule[] = "mavelin.core.models";
inline constexpr char kNodeClass[] = "FileNode";
inline constexpr char kAttrId[] = "id";
inline constexpr char kAttrPath[] = "file_path";
inline constexpr char kAttrFingerprint[] = "_FileNode__hash_fingerprint";

}  // namespace mavelin::certificate_format
