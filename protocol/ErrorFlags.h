// Result codes of DirectIO and the texts it leaves in the caller's answer buffer.
#pragma once

inline constexpr long ECR_SUCCESS = 0;       // answer received
inline constexpr long ECR_IE_SENDDATA = 2;   // the command frame was not delivered
inline constexpr long ECR_IE_DATA = 8;       // sale step refused: operator or change missing
inline constexpr long ECR_E_BAD_KEY = 21;    // key position wrong, sale open, keys pressed
inline constexpr long ECR_E_NO_DIALOG = 32;  // register stuck in its critical state

inline constexpr const char* ECR_IE_ECR_S = "Time-Out ricezione, Seriale rumorosa?";
inline constexpr const char* ECR_IE_ECR_E = "Testa Sollevata o Fine Carta";
inline constexpr const char* ECR_IE_NO_OPERATOR =
    " Operatore non inserito con programmato\n"
    "             obbligo inserimento operatore";
inline constexpr const char* ECR_IE_NO_CHANGE = " Mancanza resto";
inline constexpr const char* ECR_IE_BAD_KEY =
    " Assetto Chiave errato,\n"
    "              transazione in corso,\n"
    "              oppure sono stati premuti dei tasti.\n";
