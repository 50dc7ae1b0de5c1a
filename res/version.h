#pragma once
// The version record's values, kept as metadata: the program sets the
// application version from them, and the .desktop file repeats name and comment.
// The record says 1.0.0.1 while the About box names the product 2.0.

constexpr unsigned kFileVersion[4] = {1, 0, 0, 1};
constexpr char kVersionText[] = "1.0.0.1";
constexpr char kFileVersionString[] = "1, 0, 0, 1";  // FileVersion and ProductVersion
constexpr char kFileDescription[] = "Morvane Microsoft 基础类应用程序";
constexpr char kInternalName[] = "Morvane";
constexpr char kOriginalFilename[] = "Morvane.EXE";
constexpr char kProductName[] = "Morvane 应用程序";
constexpr char kLegalCopyright[] = "版权所有 (C) 2005";
constexpr char kCompanyName[] = "";
constexpr char kLegalTrademarks[] = "";
constexpr unsigned kTranslationLanguage = 0x0804;  // Chinese (PRC)
constexpr unsigned kTranslationCodePage = 0x04B0;  // Unicode

// The product's web address: the main dialog's caption ends with it and the
// About box shows it. A reserved example domain (RFC 2606), so it names no one.
constexpr char kProductWebAddress[] = "http://tessaly.example.org/";
