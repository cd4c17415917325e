// Every Russian text of the relay and the submission, written once, here. Each function answers
// the text in Windows-1251, the relay's own code page.
#pragma once

#include <string>

#include "text/outcome.h"

namespace droprelay::texts {

// Start-up and shutdown
const std::string& WorkStarted();        // "Начало работы..."
const std::string& WorkFinished();       // "Завершение работы..."
// Start-up refused because a secret is readable by others; the file and the mode follow
const std::string& SecretExposed();      // "Работа остановлена, пароль не защищён: "

// Drop-folder cycle and disposal
const std::string& ScanningFolder();     // "Просмотр папки "
const std::string& NoNewFiles();         // "Нет новых файлов"
const std::string& FilePrefix();         // "Файл "
const std::string& DeletedOk();          // " успешно удален"
const std::string& DeleteFailed();       // " удалить НЕ УДАЛОСЬ! ("
const std::string& MovedOk();            // " успешно перемещен в "
const std::string& MoveFailed();         // " переместить НЕ УДАЛОСЬ! ("
const std::string& DisposalError();      // "Ошибка при удалении/перемещении файла!"

// Relaying one message
const std::string& FoundFile();          // "Найден файл "
const std::string& HasAttachment();      // "Письмо содержит вложение: "
const std::string& AttachmentError();    // "Ошибка извлечения Attachs!"
const std::string& RecipientBefore();    // "Адресат: "
const std::string& RecipientAfter();     // "Адресат после обработки: "
const std::string& SendingWithProfile(); // "Попытка отправки с использование профиля \""
const std::string& MessageError();       // "Ошибка при обработке email\"а!"
const std::string& SubjectBefore();      // "Тема: "
const std::string& SubjectAfter();       // "Тема после обработки: "
const std::string& BodyBefore();         // "Текст: "
const std::string& BodyAfter();          // "Текст после обработки: "

// Schedule correction
const std::string& NewScheduleTime();    // "Новое время обновления "
const std::string& DatabaseError();      // "Ошибка при работе с базой данных"

// Submission errors (each complete message ends in ";")
const std::string& NoRecipient();        // "Не указан адресат!;"
const std::string& LogonFailed();        // "Не удалось подключится к MAPI при помощи \""
const std::string& FileQuoted();         // "Файл \""
const std::string& FileNotFound();       // "\" не найден!;"
const std::string& SendFailed();         // "Ошибка отправки сообщения \""

// Start-up checks, the run lock and stopping. Each is followed by a folder or file, and most
// then by " (" + system error text + ")".
const std::string& ConfigUnreadable();     // "Файл настроек не найден или не читается: "
const std::string& DropFolderUnreadable(); // "Папка не найдена или не читается: "
const std::string& FolderUnusable();       // "Папка недоступна для записи: "
const std::string& AnotherRunActive();     // "Папка уже обрабатывается другим запуском: "
const std::string& StopRequested();        // "Получен сигнал завершения"
const std::string& StateWriteFailed();     // "Ошибка записи в папку состояния "

// The queue: "Файл " + name + one of these.
const std::string& AlreadyAccepted();      // " уже принят к отправке ранее, повторно не отправляется"
const std::string& DeferredUntil();        // " отложен до " + time + AttemptNumber + n + "): " + reason
const std::string& AttemptNumber();        // " (попытка "
const std::string& WaitingUntil();         // " ожидает повторной попытки до " + time
const std::string& Quarantined();          // " перемещен в карантин " + folder + ": " + reason
const std::string& QuarantineFailed();     // " переместить в карантин НЕ УДАЛОСЬ! (" + error + ")"

// Why a file was deferred or set aside.
const std::string& ReasonNotRegular();          // "не является обычным файлом"
const std::string& ReasonUnreadable();          // "файл не удалось разобрать как письмо"
const std::string& ReasonNoRecipient();         // "нет адреса получателя"
const std::string& ReasonBadRecipient();        // "недопустимые символы в адресе получателя"
const std::string& ReasonRefused();             // "сервер окончательно отказал в приеме"
const std::string& ReasonSendFailed();          // "временная ошибка отправки"
const std::string& ReasonAttachmentNotSaved();  // "вложение не удалось сохранить"
const std::string& ReasonAttachmentUnreadable();// "вложение не удалось извлечь"
const std::string& ReasonLocked();              // "файл занят другим процессом"
const std::string& ReasonNotDisposed();         // "файл не удалось удалить/переместить"
const std::string& ReasonExpired();             // "истек срок ожидания в очереди, дней: " + days


// The HTML step: its time budget ran out ("... мс: " + the budget in ms).
const std::string& HtmlTimeBudgetSpent();
// Configuration checks at start-up: "Предупреждение настроек: " + file + ", строка " + n + ": "
// + one of the texts below with its names and values.
const std::string& ConfigWarning();          // "Предупреждение настроек: "
const std::string& ConfigLine();             // ", строка "
const std::string& ConfigUnknownSection();   // "неизвестный раздел [" + name + "], его ключи не читаются"
const std::string& ConfigSectionIgnored();   // "], его ключи не читаются"
const std::string& ConfigMaybe();            // " (возможно, имелось в виду " + name + ")"
const std::string& ConfigUnknownKey();       // "неизвестный ключ " + key + " не используется"
const std::string& ConfigKeyIgnored();       // " не используется"
const std::string& ConfigKeepsDefault();     // "; значение по умолчанию: " + value
const std::string& ConfigBadValue();         // "значение " + key=value + " не является числом, используется значение по умолчанию: " + value
const std::string& ConfigNotANumber();       // " не является числом, используется значение по умолчанию: "
const std::string& ConfigBadSyslog();        // " не является 0, 1 или путем к сокету, копия в системный журнал не ведется"
const std::string& ConfigRepeatedSection();  // "повторный раздел [" + name + "] не читается, действует раздел из строки " + n
const std::string& ConfigRepeatedSectionIgnored();  // "] не читается, действует раздел из строки "
const std::string& ConfigRepeatedKey();      // "повторный ключ " + key + " не используется, действует строка " + n
const std::string& ConfigRepeatedKeyIgnored();  // " не используется, действует строка "
// Sending switched off: said once at every start.
const std::string& SendingOffMoved();        // "Отправка писем выключена (send_mail=0): письма не отправляются, файлы перемещаются в " + folder
const std::string& SendingOffDeleted();      // "Отправка писем выключена (send_mail=0): письма не отправляются, файлы удаляются"
// A configuration fault found while sending stops the run: ConfigurationStop + reason.
const std::string& ReasonNoMailProfile();       // "профиль почты не найден"
const std::string& ReasonSenderRefused();       // "сервер отказал отправителю (ошибка настроек профиля)"
const std::string& ReasonAccountRefused();      // "сервер отказал учетной записи (ошибка настроек профиля)"
// A quota or rate limit of the server: the run ends, the files wait.
const std::string& ReasonQuotaExceeded();       // "сервер ограничил число писем, остальные файлы ждут следующего запуска"
// The system failed to open or read a drop file; the system's error follows in brackets.
const std::string& ReasonSystemError();         // "системная ошибка при чтении файла"
// + ProfileQuoted + profile + "\": " + the server's reply, when a server refused the sender or account
const std::string& ProfileQuoted();             // ", профиль \""
// The configuration file could not be read during a run: + file + " (" + error + ")"
const std::string& ConfigKeptLastGood();        // "Файл настроек не читается, действуют прежние настройки: "
// Folders named anew in the INI during a run: "...: " + the run's drop folder
const std::string& FoldersChangedNextRun();     // "Папки в файле настроек изменены, новые значения действуют со следующего запуска; сейчас: "
// "Файл " + name + AcceptedNotDisposed + due time: the server took it, its file stays
const std::string& AcceptedNotDisposed();       // " принят сервером, но не удален/перемещен; следующая попытка в "
// "Файл " + name + ModifiedAhead: its modification time lies ahead of the clock
const std::string& ModifiedAhead();             // ": время изменения впереди текущего времени (часы переведены?), файл считается записанным"
const std::string& ConfigurationStop();         // "Ошибка настройки, работа остановлена (файл оставлен в папке): "

// The reason an outcome gives in the log: one of the Reason texts above, or one of its own.
const std::string& OutcomeReason(Outcome outcome);

// The submission's edges: a refused copy recipient (a warning; address and reply follow), and a
// message that came back to this relay.
const std::string& CopyRefused();     // "Копия не доставлена, письмо отправлено без нее: \"" + address + "\" (" + reply + ");"
const std::string& ReasonMailLoop();  // "петля пересылки (mail loop): письмо уже проходило через эту программу или слишком много пересылок"
// The mail library's repairs of a message, one log line each: the part, then what was done.
const std::string& MailRepaired();  // "Письмо прочитано с исправлением: " + part + ": " + what
// The window's notification-area icon: its menu and the state its tooltip shows.
const std::string& TrayShowLog();          // "Показать журнал"
const std::string& TrayHideLog();          // "Скрыть журнал"
const std::string& TrayQuit();             // "Завершить работу"
const std::string& TrayRelaying();         // "пересылка почты"
const std::string& TrayStopping();         // "завершение после текущего шага"
const std::string& TrayWaiting();          // "ожидают повторной попытки: " + n
const std::string& TrayQuarantined();      // "в карантине: " + n
// Outcomes of the relay's own bookkeeping and limits (see OutcomeReason), and the queue's summary.
const std::string& ReasonUncertain();         // "ответ сервера на отправленное письмо не получен"
const std::string& ReasonJournalUnwritable(); // "не удалось записать журнал отправки"
const std::string& ReasonMaybeDelivered();    // "ответ сервера дважды не получен, письмо могло быть уже доставлено"
const std::string& ReasonTooLarge();          // "размер файла больше max_message_size"
const std::string& ReasonKilledTwice();       // "работа программы дважды прервалась на этом файле"
const std::string& ReasonJournalUnreadable(); // "запись журнала отправки не читается"
const std::string& ReasonNotOwnFile();        // "файл с несколькими жесткими ссылками или чужого владельца"
// "Ожидают повторной попытки файлов: " + count + NextAttemptAt + time
const std::string& WaitingSummary();
const std::string& NextAttemptAt();           // ", ближайшая в "
const std::string& ReasonFileWriteFailed();   // "Не удалось записать файл причины " + path + " (" + error + ")"
const std::string& SyncFailed();              // "Не удалось сбросить на диск папку " + folder + " (" + error + ")"
// "Файл " + name + MarkedAccepted + hidden name: accepted, neither noted nor disposed of
const std::string& MarkedAccepted();          // " принят сервером, но не отмечен в журнале и не удален; переименован в "
const std::string& LeftoversRemoved();        // "Удалены остатки прерванных запусков: " + count

}  // namespace droprelay::texts
