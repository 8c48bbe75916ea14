// Every text the core writes to the status log, defined once: the scan and the
// download write them, and a front end may recognise them (the terminal holds
// the per-link lines by reference instead of copying each one).
#pragma once

namespace varnolt {

// The scan job, in the order a run writes them. The open line is
// kLogOpening + name + kLogEllipsis; the size line kLogSize + size + kLogBytes;
// the summary kLogSummary + found + kLogSummaryFound + shown + kLogSummaryShown.
inline constexpr char kLogOpening[] = "Öffne Datei: ";
inline constexpr char kLogEllipsis[] = "...";
inline constexpr char kLogOk[] = "OK";
inline constexpr char kLogSize[] = "Dateigrösse: ";
inline constexpr char kLogBytes[] = " bytes";
inline constexpr char kLogReserving[] = "Reserviere Arbeitsspeicher...";
inline constexpr char kLogReading[] = "Lese Datei ein...";
inline constexpr char kLogStarting[] = "Starte Suche";
inline constexpr char kLogSummary[] = "Suche beendet. ";
inline constexpr char kLogSummaryFound[] = " Links gefunden, ";
inline constexpr char kLogSummaryShown[] = " Links angezeigt";

// One line per link found, and one more for a repeat.
inline constexpr char kLogLinkFound[] = "Link gefunden";
inline constexpr char kLogRepeatFound[] = "doppelter Link gefunden";

// The page download: kLogDownloading, then kLogDownloaded appended, or a new
// line kLogDownloadFailed + reason + ")".
inline constexpr char kLogWebAddress[] = "INTERNET Adresse gefunden";
inline constexpr char kLogDownloading[] = "Downloade File...";
inline constexpr char kLogDownloaded[] = "OK!";
inline constexpr char kLogDownloadFailed[] = "FEHLER:Download fehlgeschlagen (";
inline constexpr char kLogDownloadStopped[] = "FEHLER:Download abgebrochen";

// Failures that end the scan job.
inline constexpr char kLogOpenFailed[] = "FEHLER:Datei konnte nicht geöffnet werden";
inline constexpr char kLogNoMemory[] = "FEHLER:Nicht genug Arbeitsspeicher";
inline constexpr char kLogReadFailed[] = "FEHLER:Datei konnte nicht gelesen werden";

}  // namespace varnolt
