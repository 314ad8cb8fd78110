// The private attribute and method names of the package's classes that callers can see (and
// that the binding's parts call or read), spelled once.
#pragma once

namespace mavelin::attr {

inline constexpr char kCertFolderPath[] = "_cert_folder_path";
inline constexpr char kCertificatePath[] = "_certificate_path";
inline constexpr char kChunkSize[] = "_chunk_size";
inline constexpr char kFileNodes[] = "_file_nodes";
inline constexpr char kFindings[] = "_findings";
inline constexpr char kFingerprintErrors[] = "_fingerprint_errors";
inline constexpr char kFingerprintedBytes[] = "_fingerprinted_bytes";
inline constexpr char kGenerateFileFingerprint[] = "_generate_file_fingerprint";
inline constexpr char kGenerateFingerprints[] = "_generate_fingerprints";
inline constexpr char kGenerateHash[] = "_generate_hash";
inline constexpr char kGenerateHashFingerprint[] = "_generate_hash_fingerprint";
inline constexpr char kGenerateHashList[] = "_generate_hash_list";
inline constexpr char kInitialPath[] = "_initial_path";
inline constexpr char kNode[] = "_node";
inline constexpr char kOpenFile[] = "_open_file";
inline constexpr char kParseDirectory[] = "_parse_directory";
inline constexpr char kPickleFilePath[] = "_pickle_file_path";
inline constexpr char kResultNodes[] = "_result_nodes";
inline constexpr char kResultPath[] = "_result_path";
inline constexpr char kScanErrors[] = "_scan_errors";
inline constexpr char kTransformationStep[] = "_transformation_step";
inline constexpr char kUncertifiedFolders[] = "_uncertified_folders";
inline constexpr char kUncertifiedLinks[] = "_uncertified_links";
inline constexpr char kUncheckedFiles[] = "_unchecked_files";
inline constexpr char kUnreadableFiles[] = "_unreadable_files";
inline constexpr char kUnreadableFolders[] = "_unreadable_folders";

}  // namespace mavelin::attr
