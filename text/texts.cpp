#include "text/texts.h"

#include "text/convert.h"

namespace droprelay::texts {

// The source file is UTF-8; each text is turned into Windows-1251 once, on first use.
#define DROPRELAY_TEXT(name, utf8)                              \
  const std::string& name() {                                   \
    static const std::string text = Utf8ToCp1251(utf8);         \
    return text;                                                \
  }

DROPRELAY_TEXT(WorkStarted, "Начало работы...")
DROPRELAY_TEXT(WorkFinished, "Завершение работы...")
DROPRELAY_TEXT(SecretExposed, "Работа остановлена, пароль не защищён: ")

DROPRELAY_TEXT(ScanningFolder, "Просмотр папки ")
DROPRELAY_TEXT(NoNewFiles, "Нет новых файлов")
DROPRELAY_TEXT(FilePrefix, "Файл ")
DROPRELAY_TEXT(DeletedOk, " успешно удален")
DROPRELAY_TEXT(DeleteFailed, " удалить НЕ УДАЛОСЬ! (")
DROPRELAY_TEXT(MovedOk, " успешно перемещен в ")
DROPRELAY_TEXT(MoveFailed, " переместить НЕ УДАЛОСЬ! (")
DROPRELAY_TEXT(DisposalError, "Ошибка при удалении/перемещении файла!")

DROPRELAY_TEXT(FoundFile, "Найден файл ")
DROPRELAY_TEXT(HasAttachment, "Письмо содержит вложение: ")
DROPRELAY_TEXT(AttachmentError, "Ошибка извлечения Attachs!")
DROPRELAY_TEXT(RecipientBefore, "Адресат: ")
DROPRELAY_TEXT(RecipientAfter, "Адресат после обработки: ")
DROPRELAY_TEXT(SendingWithProfile, "Попытка отправки с использование профиля \"")
DROPRELAY_TEXT(MessageError, "Ошибка при обработке email\"а!")
DROPRELAY_TEXT(SubjectBefore, "Тема: ")
DROPRELAY_TEXT(SubjectAfter, "Тема после обработки: ")
DROPRELAY_TEXT(BodyBefore, "Текст: ")
DROPRELAY_TEXT(BodyAfter, "Текст после обработки: ")

DROPRELAY_TEXT(NewScheduleTime, "Новое время обновления ")
DROPRELAY_TEXT(DatabaseError, "Ошибка при работе с базой данных")

DROPRELAY_TEXT(NoRecipient, "Не указан адресат!;")
DROPRELAY_TEXT(LogonFailed, "Не удалось подключится к MAPI при помощи \"")
DROPRELAY_TEXT(FileQuoted, "Файл \"")
DROPRELAY_TEXT(FileNotFound, "\" не найден!;")
DROPRELAY_TEXT(SendFailed, "Ошибка отправки сообщения \"")

DROPRELAY_TEXT(ConfigUnreadable, "Файл настроек не найден или не читается: ")
DROPRELAY_TEXT(DropFolderUnreadable, "Папка не найдена или не читается: ")
DROPRELAY_TEXT(FolderUnusable, "Папка недоступна для записи: ")
DROPRELAY_TEXT(AnotherRunActive, "Папка уже обрабатывается другим запуском: ")
DROPRELAY_TEXT(StopRequested, "Получен сигнал завершения")
DROPRELAY_TEXT(StateWriteFailed, "Ошибка записи в папку состояния ")

DROPRELAY_TEXT(AlreadyAccepted, " уже принят к отправке ранее, повторно не отправляется")
DROPRELAY_TEXT(DeferredUntil, " отложен до ")
DROPRELAY_TEXT(AttemptNumber, " (попытка ")
DROPRELAY_TEXT(WaitingUntil, " ожидает повторной попытки до ")
DROPRELAY_TEXT(Quarantined, " перемещен в карантин ")
DROPRELAY_TEXT(QuarantineFailed, " переместить в карантин НЕ УДАЛОСЬ! (")

DROPRELAY_TEXT(ReasonNotRegular, "не является обычным файлом")
DROPRELAY_TEXT(ReasonUnreadable, "файл не удалось разобрать как письмо")
DROPRELAY_TEXT(ReasonNoRecipient, "нет адреса получателя")
DROPRELAY_TEXT(ReasonBadRecipient, "недопустимые символы в адресе получателя")
DROPRELAY_TEXT(ReasonRefused, "сервер окончательно отказал в приеме")
DROPRELAY_TEXT(ReasonSendFailed, "временная ошибка отправки")
DROPRELAY_TEXT(ReasonAttachmentNotSaved, "вложение не удалось сохранить")
DROPRELAY_TEXT(ReasonAttachmentUnreadable, "вложение не удалось извлечь")
DROPRELAY_TEXT(ReasonLocked, "файл занят другим процессом")
DROPRELAY_TEXT(ReasonNotDisposed, "файл не удалось удалить/переместить")
DROPRELAY_TEXT(ReasonExpired, "истек срок ожидания в очереди, дней: ")

DROPRELAY_TEXT(ReasonNotSent, "отправка отключена (send_mail=0), письмо не отправлено")
DROPRELAY_TEXT(ReasonNoConnection, "нет соединения с сервером")
DROPRELAY_TEXT(ReasonLogonRefused, "сервер отказал во входе")
DROPRELAY_TEXT(ProfileQuoted, ", профиль \"")
DROPRELAY_TEXT(FoldersChangedNextRun, "Папки в файле настроек изменены, новые значения действуют со следующего запуска; сейчас: ")
DROPRELAY_TEXT(AcceptedNotDisposed, " принят сервером, но не удален/перемещен; следующая попытка в ")
DROPRELAY_TEXT(ModifiedAhead, ": время изменения впереди текущего времени (часы переведены?), файл считается записанным")
DROPRELAY_TEXT(ReasonSystemError, "системная ошибка при чтении файла")
DROPRELAY_TEXT(ConfigKeptLastGood, "Файл настроек не читается, действуют прежние настройки: ")
DROPRELAY_TEXT(ReasonSenderRefused, "сервер отказал отправителю (ошибка настроек профиля)")
DROPRELAY_TEXT(ReasonAccountRefused, "сервер отказал учетной записи (ошибка настроек профиля)")
DROPRELAY_TEXT(ReasonQuotaExceeded, "сервер ограничил число писем, остальные файлы ждут следующего запуска")
DROPRELAY_TEXT(ReasonServerBusy, "сервер временно отказал в приеме")
DROPRELAY_TEXT(ReasonAttachmentMissing, "сохраненное вложение пропало до отправки")
DROPRELAY_TEXT(ReasonInternalError, "внутренняя ошибка")
DROPRELAY_TEXT(ReasonDelivered, "принято к отправке")

DROPRELAY_TEXT(HtmlTimeBudgetSpent,
               "Преобразование HTML в текст остановлено, взят текст, полученный до этого момента: "
               "превышено время html_time_budget_ms, мс: ")
DROPRELAY_TEXT(ConfigWarning, "Предупреждение настроек: ")
DROPRELAY_TEXT(ConfigLine, ", строка ")
DROPRELAY_TEXT(ConfigUnknownSection, "неизвестный раздел [")
DROPRELAY_TEXT(ConfigSectionIgnored, "], его ключи не читаются")
DROPRELAY_TEXT(ConfigMaybe, " (возможно, имелось в виду ")
DROPRELAY_TEXT(ConfigUnknownKey, "неизвестный ключ ")
DROPRELAY_TEXT(ConfigKeyIgnored, " не используется")
DROPRELAY_TEXT(ConfigKeepsDefault, "; значение по умолчанию: ")
DROPRELAY_TEXT(ConfigBadValue, "значение ")
DROPRELAY_TEXT(ConfigNotANumber, " не является числом, используется значение по умолчанию: ")
DROPRELAY_TEXT(ConfigBadSyslog, " не является 0, 1 или путем к сокету, копия в системный журнал не ведется")
DROPRELAY_TEXT(ConfigRepeatedSection, "повторный раздел [")
DROPRELAY_TEXT(ConfigRepeatedSectionIgnored, "] не читается, действует раздел из строки ")
DROPRELAY_TEXT(ConfigRepeatedKey, "повторный ключ ")
DROPRELAY_TEXT(ConfigRepeatedKeyIgnored, " не используется, действует строка ")
DROPRELAY_TEXT(SendingOffMoved, "Отправка писем выключена (send_mail=0): письма не отправляются, файлы перемещаются в ")
DROPRELAY_TEXT(SendingOffDeleted, "Отправка писем выключена (send_mail=0): письма не отправляются, файлы удаляются")
DROPRELAY_TEXT(CopyRefused, "Копия не доставлена, письмо отправлено без нее: \"")
DROPRELAY_TEXT(ReasonMailLoop, "петля пересылки (mail loop): письмо уже проходило через эту программу или слишком много пересылок")
// A configuration fault found while sending: the run stops.
DROPRELAY_TEXT(ReasonNoMailProfile, "профиль почты не найден")
DROPRELAY_TEXT(ConfigurationStop, "Ошибка настройки, работа остановлена (файл оставлен в папке): ")
// Outcomes of the relay's own bookkeeping and limits.
DROPRELAY_TEXT(ReasonUncertain, "ответ сервера на отправленное письмо не получен")
DROPRELAY_TEXT(ReasonJournalUnwritable, "не удалось записать журнал отправки")
DROPRELAY_TEXT(ReasonMaybeDelivered, "ответ сервера дважды не получен, письмо могло быть уже доставлено")
DROPRELAY_TEXT(ReasonTooLarge, "размер файла больше max_message_size")
DROPRELAY_TEXT(ReasonKilledTwice, "работа программы дважды прервалась на этом файле")
DROPRELAY_TEXT(ReasonJournalUnreadable, "запись журнала отправки не читается")
DROPRELAY_TEXT(ReasonNotOwnFile, "файл с несколькими жесткими ссылками или чужого владельца")
DROPRELAY_TEXT(WaitingSummary, "Ожидают повторной попытки файлов: ")
DROPRELAY_TEXT(NextAttemptAt, ", ближайшая в ")
DROPRELAY_TEXT(ReasonFileWriteFailed, "Не удалось записать файл причины ")
DROPRELAY_TEXT(SyncFailed, "Не удалось сбросить на диск папку ")
DROPRELAY_TEXT(MarkedAccepted, " принят сервером, но не отмечен в журнале и не удален; переименован в ")
DROPRELAY_TEXT(LeftoversRemoved, "Удалены остатки прерванных запусков: ")

#undef DROPRELAY_TEXT

const std::string& OutcomeReason(Outcome outcome) {
  switch (outcome) {
    case Outcome::kDelivered: return ReasonDelivered();
    case Outcome::kNotSent: return ReasonNotSent();
    case Outcome::kNoConnection: return ReasonNoConnection();
    case Outcome::kLogonRefused: return ReasonLogonRefused();
    case Outcome::kServerBusy: return ReasonServerBusy();
    case Outcome::kSendFailed: return ReasonSendFailed();
    case Outcome::kAttachmentMissing: return ReasonAttachmentMissing();
    case Outcome::kAttachmentNotSaved: return ReasonAttachmentNotSaved();
    case Outcome::kFileLocked: return ReasonLocked();
    case Outcome::kNotDisposed: return ReasonNotDisposed();
    case Outcome::kInternalError: return ReasonInternalError();
    case Outcome::kRefused: return ReasonRefused();
    case Outcome::kNoRecipient: return ReasonNoRecipient();
    case Outcome::kBadRecipient: return ReasonBadRecipient();
    case Outcome::kUnreadable: return ReasonUnreadable();
    case Outcome::kAttachmentUnreadable: return ReasonAttachmentUnreadable();
    case Outcome::kExpired: return ReasonExpired();
    case Outcome::kNotRegular: return ReasonNotRegular();
    case Outcome::kMailLoop: return ReasonMailLoop();
    case Outcome::kNoMailProfile: return ReasonNoMailProfile();
    case Outcome::kUncertain: return ReasonUncertain();
    case Outcome::kJournalUnwritable: return ReasonJournalUnwritable();
    case Outcome::kMaybeDelivered: return ReasonMaybeDelivered();
    case Outcome::kTooLarge: return ReasonTooLarge();
    case Outcome::kKilledTwice: return ReasonKilledTwice();
    case Outcome::kJournalUnreadable: return ReasonJournalUnreadable();
    case Outcome::kNotOwnFile: return ReasonNotOwnFile();
    case Outcome::kSenderRefused: return ReasonSenderRefused();
    case Outcome::kAccountRefused: return ReasonAccountRefused();
    case Outcome::kQuotaExceeded: return ReasonQuotaExceeded();
    case Outcome::kSystemError: return ReasonSystemError();
  }
  return ReasonInternalError();
}

// The mail library's repairs of a message.
const std::string& MailRepaired() {
  static const std::string text = Utf8ToCp1251("Письмо прочитано с исправлением: ");
  return text;
}

}  // namespace droprelay::texts

// The window's notification-area icon.
namespace droprelay::texts {

#define DROPRELAY_TEXT(name, utf8)                              \
  const std::string& name() {                                   \
    static const std::string text = Utf8ToCp1251(utf8);         \
    return text;                                                \
  }

DROPRELAY_TEXT(TrayShowLog, "Показать журнал")
DROPRELAY_TEXT(TrayHideLog, "Скрыть журнал")
DROPRELAY_TEXT(TrayQuit, "Завершить работу")
DROPRELAY_TEXT(TrayRelaying, "пересылка почты")
DROPRELAY_TEXT(TrayStopping, "завершение после текущего шага")
DROPRELAY_TEXT(TrayWaiting, "ожидают повторной попытки: ")
DROPRELAY_TEXT(TrayQuarantined, "в карантине: ")

#undef DROPRELAY_TEXT

}  // namespace droprelay::texts
