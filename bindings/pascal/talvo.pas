{ talvo.pas - declarations of TALVO.dll for Delphi and Free Pascal hosts.

  The 43 exports of talvo.h, with the calling convention (stdcall on
  Windows), the argument widths and the buffer sizes each export writes,
  the 44-byte store record, the result codes of GetError, and the release
  of the blocks that ReadHMD, ReadMenu, ReadTimeZone and ReadAttendTimeZone
  hand over (TalvoFreeBlock).  A few helpers read those blocks into Pascal
  arrays and release them.

  Windows: TALVO.dll beside the program (a 32-bit DLL: build a 32-bit host).
  Linux (Free Pascal): linked against libtalvo.so; at run time the dynamic
  linker finds libtalvo.so.1 (LD_LIBRARY_PATH, or an installed library).

  The port is the one ComName names in VELDA.INI: a serial port (COM2,
  /dev/ttyUSB0), or a serial device server on the network,
  tcp://host:port (a raw byte stream) or rfc2217://host:port (Telnet with
  the COM port control option, set to BautRate and StatStr at open).  A
  line that cannot be opened or reached gives TALVO_E_PORT, as a missing
  serial port does.

  Every integer argument is a 32-bit LongInt, whatever the host's mode
  (the plain integer type has 16 bits in Free Pascal's default mode).
  Texts are 8-bit (GBK on Windows) and zero-terminated unless said
  otherwise.  Output buffers belong to the caller; the comment of each
  export says how many bytes it writes. }
unit talvo;

{$IFDEF FPC}
  {$MODE DELPHI}
  {$PACKRECORDS C}
{$ENDIF}

interface

const
{$IFDEF MSWINDOWS}
  TalvoLibrary = 'TALVO.dll';
{$ELSE}
  {$IFDEF FPC}
  TalvoLibrary = 'talvo';          { -ltalvo: libtalvo.so, soname libtalvo.so.1 }
  {$ELSE}
  TalvoLibrary = 'libtalvo.so.1';
  {$ENDIF}
{$ENDIF}

  { GetError results. }
  TALVO_OK = 0;
  TALVO_E_PORT = -1;          { port not open, or not one byte written }
  TALVO_E_BAD_REPLY = -2;     { partial write, or no valid reply frame }
  TALVO_E_NO_REPLY = -3;      { nothing received within the time limits }
  TALVO_E_REPLY_CHECK = -6;   { a reply the command's own check refused }

  TALVO_ZONES = 8;            { time zone slots }
  TALVO_SLOT = 15;            { bytes per slot }

type
  { One time zone slot: "hh:mm" and a zero in bytes 0-5 (time zones), or
    "hh:mm"#0"hh:mm"#0"cc"#0 (attendance zones). }
  TTalvoSlot = array[0..TALVO_SLOT - 1] of AnsiChar;
  TTalvoSlots = array[0..TALVO_ZONES - 1] of TTalvoSlot;   { 120 bytes }
  PTalvoSlots = ^TTalvoSlots;

  TTalvoKeyFlags = array[0..3] of LongInt;
  TTalvoReason = array[0..7] of Byte;                     { SetAttendReason }
  TTalvoAttendTime = array[0..13] of AnsiChar;            { ReadAttendTime, no terminator }

  { The 44-byte record of the store file and of SperateJyzmTxt. }
  TTalvoStoreRecord = packed record
    TerminalText: array[0..3] of AnsiChar;   { "%03d" }
    CardNumber: array[0..6] of AnsiChar;     { six characters and a zero }
    TypeText: array[0..2] of AnsiChar;       { "05", "13" or "14" }
    Gap1: array[0..1] of Byte;
    Amount: Single;                          { negative for "05" }
    DateText: array[0..10] of AnsiChar;      { "yyyy/mm/dd" }
    TimeText: array[0..5] of AnsiChar;       { "hh:mm" }
    Gap2: array[0..2] of Byte;
    SecondAmount: Single;
  end;
  PTalvoStoreRecord = ^TTalvoStoreRecord;

  TTalvoStrings = array of AnsiString;
  TTalvoPrices = array of Single;

{ ---- Module state ---- }

function GetError: LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
procedure SetDisplayRecp(On_: LongInt); {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
procedure SetDisplaySend(On_: LongInt); {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
function GetDisplayRecp: LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
function GetDisplaySend: LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
{ Buffer: large enough for the formatted text; Format: one floating conversion. }
function SetFloatInStr(Buffer: PAnsiChar; Format: PAnsiChar; Value: Single): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
{ Buffer: 9 bytes ("It's me!"), or nil. }
function IsFileExist(Buffer: PAnsiChar): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;

{ ---- Parameter and status commands ---- }

function InqStat(Terminal: LongInt): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
function ClearRAM(Terminal: LongInt): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
{ Text: 13 bytes. }
function ReadCMW(Terminal: LongInt; Text: PAnsiChar): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
function Setcmw(Terminal: LongInt; Text: PAnsiChar): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
function Readmdeb(Terminal: LongInt; var Amount: Single): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
function Setmdeb(Terminal: LongInt; Amount: Single): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;

{ ---- Blacklist (6-character entries) ---- }

function AddHMD(Terminal: LongInt; Entries: PAnsiChar): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
function ReduHMD(Terminal: LongInt; Entry: PAnsiChar): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
{ Entries: 6 x Count bytes. }
function SetHMD(Terminal, Position: LongInt; Entries: PAnsiChar; Count: LongInt): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
function ClearHMD(Terminal: LongInt): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
{ On 1 with Count > 0: Data is a block of 6 x Count bytes; TalvoFreeBlock it. }
function ReadHMD(Terminal, Position: LongInt; var Data: PAnsiChar; var Count: LongInt): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;

{ ---- Card key ---- }

function CheckKey(Terminal, Unused1, Unused2: LongInt; KeyText: PAnsiChar): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
function SetKey(Terminal, Unused1, Unused2: LongInt; KeyText: PAnsiChar): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
function Inqkey(Terminal: LongInt; var Flags: TTalvoKeyFlags): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;

{ ---- Price menu ---- }

{ Prices: Count singles. }
function Setmenu(Terminal: LongInt; Prices: PSingle; Count: LongInt): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
{ On 1: Prices is a block of Count singles; TalvoFreeBlock it. }
function ReadMenu(Terminal: LongInt; var Prices: PSingle; var Count: LongInt): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
function Clearmenu(Terminal: LongInt): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;

{ ---- Subsidy list ---- }

function ClearList(Terminal: LongInt): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
function SetMaxbt(Terminal: LongInt; Amount: Double): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
function SetBtTime(Terminal: LongInt; Text: PAnsiChar): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
function AddBtList(Terminal, Position: LongInt; Entries: PAnsiChar): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;

{ ---- Clock, time zones and lock ---- }

{ Always 1: Zones receives a 120-byte block; TalvoFreeBlock it.  The
  outcome is in GetError. }
function ReadTimeZone(Terminal: LongInt; var Zones: PTalvoSlots): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
{ Zones: 120 bytes.  Always 1; the outcome is in GetError. }
function SetTimeZone(Terminal: LongInt; Zones: PTalvoSlots): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
{ TimeText: 15 bytes, "yy/mm/dd*hh:mm". }
function ReadMachTime(Terminal: LongInt; TimeText: PAnsiChar): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
{ TimeText: at least 16 characters, "yyyy/mm/dd hh:mm". }
function SetMachTime(Terminal: LongInt; TimeText: PAnsiChar): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
function BlockMach(Terminal: LongInt): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
function UnBlockMach(Terminal: LongInt): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;

{ ---- Attendance terminals ---- }

{ Zones: 120 bytes.  Always 1; the outcome is in GetError. }
function SetAttendTimeZone(Terminal: LongInt; Zones: PTalvoSlots): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
{ Always 1: Zones receives a 120-byte block; TalvoFreeBlock it. }
function ReadAttendTimeZone(Terminal: LongInt; var Zones: PTalvoSlots): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
function SetAttendReason(Terminal, ReasonNo: LongInt; var Reason: TTalvoReason): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
{ Reason: 9 bytes. }
function ReadAttendReason(Terminal, ReasonNo: LongInt; Reason: PAnsiChar): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
function SetAttendTime(Terminal: LongInt; TimeText: PAnsiChar): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
function ReadAttendTime(Terminal: LongInt; var TimeText: TTalvoAttendTime): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;

{ ---- Transaction records ---- }

function AutoReadJyzm(Terminal: LongInt; var Count: LongInt; var Total: Single; Path: PAnsiChar): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
function Clearjyzm(Terminal, Count: LongInt; var Mark: Word): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;
{ Raw: 28 characters. }
function SperateJyzmTxt(Raw: PAnsiChar; Terminal: LongInt; var Rec: TTalvoStoreRecord; Reserved: LongInt): LongInt; {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external TalvoLibrary;

{ ---- Helpers ---- }

{ Releases a block handed over by ReadHMD, ReadMenu, ReadTimeZone or
  ReadAttendTimeZone: GlobalUnlock and GlobalFree of its handle on Windows,
  free() elsewhere.  nil is ignored. }
procedure TalvoFreeBlock(Block: Pointer);

{ ReadHMD into an array; the block is released.  False when the export
  returns 0. }
function TalvoReadBlacklist(Terminal, Position: LongInt; out Entries: TTalvoStrings): Boolean;
{ ReadMenu into an array; the block is released.  False for a failure or
  an empty menu. }
function TalvoReadMenu(Terminal: LongInt; out Prices: TTalvoPrices): Boolean;
{ ReadTimeZone / ReadAttendTimeZone into Zones; the block is released.
  True when the exchange succeeded (GetError = 0). }
function TalvoReadTimeZones(Terminal: LongInt; out Zones: TTalvoSlots): Boolean;
function TalvoReadAttendTimeZones(Terminal: LongInt; out Zones: TTalvoSlots): Boolean;
{ The text in slot Zones[Index] at byte Offset (0, 6 or 12). }
function TalvoSlotText(const Zones: TTalvoSlots; Index, Offset: LongInt): AnsiString;
{ Puts a text of up to 5 characters (2 at byte 12) into a slot at byte
  Offset, followed by zeros. }
procedure TalvoSetSlotText(var Zones: TTalvoSlots; Index, Offset: LongInt; const Text: AnsiString);
{ A reason of up to 8 bytes, filled with the 0x0F that ends it. }
function TalvoReason(const Text: AnsiString): TTalvoReason;
{ English text for a GetError result. }
function TalvoErrorText(Code: LongInt): AnsiString;

implementation

{$IFDEF MSWINDOWS}
uses
  Windows;

procedure TalvoFreeBlock(Block: Pointer);
var
  Handle: HGLOBAL;
begin
  if Block = nil then Exit;
  Handle := GlobalHandle(Block);
  GlobalUnlock(Handle);
  GlobalFree(Handle);
end;
{$ELSE}
procedure c_free(Block: Pointer); cdecl; external {$IFDEF FPC}'c'{$ELSE}'libc.so.6'{$ENDIF} name 'free';

procedure TalvoFreeBlock(Block: Pointer);
begin
  if Block <> nil then c_free(Block);
end;
{$ENDIF}

function TalvoReadBlacklist(Terminal, Position: LongInt; out Entries: TTalvoStrings): Boolean;
var
  Data: PAnsiChar;
  Count, I: LongInt;
begin
  Data := nil;
  Count := 0;
  SetLength(Entries, 0);
  try
    Result := ReadHMD(Terminal, Position, Data, Count) = 1;
    if not Result or (Count <= 0) or (Data = nil) then Exit;
    if Count > 32 then Count := 32;
    SetLength(Entries, Count);
    for I := 0 to Count - 1 do
      SetString(Entries[I], Data + 6 * I, 6);
  finally
    TalvoFreeBlock(Data);
  end;
end;

function TalvoReadMenu(Terminal: LongInt; out Prices: TTalvoPrices): Boolean;
type
  TSingles = array[0..254] of Single;
var
  Block: PSingle;
  Count, I: LongInt;
begin
  Block := nil;
  Count := 0;
  SetLength(Prices, 0);
  try
    Result := (ReadMenu(Terminal, Block, Count) = 1) and (Block <> nil) and (Count > 0) and (Count <= 255);
    if not Result then Exit;
    SetLength(Prices, Count);
    for I := 0 to Count - 1 do
      Prices[I] := TSingles(Pointer(Block)^)[I];
  finally
    TalvoFreeBlock(Block);
  end;
end;

function TalvoReadTimeZones(Terminal: LongInt; out Zones: TTalvoSlots): Boolean;
var
  Block: PTalvoSlots;
begin
  Block := nil;
  FillChar(Zones, SizeOf(Zones), 0);
  try
    ReadTimeZone(Terminal, Block);
    Result := (Block <> nil) and (GetError = 0);
    if Block <> nil then Zones := Block^;
  finally
    TalvoFreeBlock(Block);
  end;
end;

function TalvoReadAttendTimeZones(Terminal: LongInt; out Zones: TTalvoSlots): Boolean;
var
  Block: PTalvoSlots;
begin
  Block := nil;
  FillChar(Zones, SizeOf(Zones), 0);
  try
    ReadAttendTimeZone(Terminal, Block);
    Result := (Block <> nil) and (GetError = 0);
    if Block <> nil then Zones := Block^;
  finally
    TalvoFreeBlock(Block);
  end;
end;

function TalvoSlotText(const Zones: TTalvoSlots; Index, Offset: LongInt): AnsiString;
var
  N: LongInt;
begin
  Result := '';
  if (Index < 0) or (Index >= TALVO_ZONES) or (Offset < 0) or (Offset >= TALVO_SLOT) then Exit;
  N := 0;
  while (Offset + N < TALVO_SLOT) and (Zones[Index][Offset + N] <> #0) do Inc(N);
  SetString(Result, PAnsiChar(@Zones[Index][Offset]), N);
end;

procedure TalvoSetSlotText(var Zones: TTalvoSlots; Index, Offset: LongInt; const Text: AnsiString);
var
  I, Room: LongInt;
begin
  if (Index < 0) or (Index >= TALVO_ZONES) or (Offset < 0) or (Offset >= TALVO_SLOT - 1) then Exit;
  Room := TALVO_SLOT - 1 - Offset;     { characters that fit before the slot's end }
  if Room > 5 then Room := 5;
  for I := 0 to Room do Zones[Index][Offset + I] := #0;
  for I := 1 to Length(Text) do
    if I <= Room then Zones[Index][Offset + I - 1] := Text[I];
end;

function TalvoReason(const Text: AnsiString): TTalvoReason;
var
  I: LongInt;
begin
  for I := 0 to 7 do
    if I < Length(Text) then Result[I] := Ord(Text[I + 1]) else Result[I] := $0F;
end;

function TalvoErrorText(Code: LongInt): AnsiString;
begin
  case Code of
    TALVO_OK: Result := 'the exchange succeeded';
    TALVO_E_PORT: Result := 'the port is not open, or not one byte of the request was written';
    TALVO_E_BAD_REPLY: Result := 'the request was written only in part, or no valid reply frame came';
    TALVO_E_NO_REPLY: Result := 'nothing was received within the time limits';
    TALVO_E_REPLY_CHECK: Result := 'a reply came that the command''s own check refused';
  else
    Result := 'unknown error';
  end;
end;

end.
